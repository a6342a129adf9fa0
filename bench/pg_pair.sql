-- Timing of query pairs, included by bench/pg_bench.sql and bench/pg_bench.sh --cases.

-- The CPU time this backend has used, in ms (user and system, in ticks of 10 ms).
CREATE FUNCTION pg_temp.cpu_ms() RETURNS float8 LANGUAGE sql AS $$
    SELECT (split_part(s, ' ', 12)::float8 + split_part(s, ' ', 13)::float8) * 10
    FROM (SELECT substring(pg_read_file('/proc/self/stat') FROM '\) (.*)$') AS s) t $$;

-- Two queries run in turn n times (ours, peer, ours, ...), so that a machine whose load changes
-- slows both alike, under a setting of parallel workers and of work_mem for the peer: the fastest
-- run of each in ms, and the mean CPU time of this backend per run (which other processes' load
-- hardly changes; without workers it is all the query's work).
CREATE FUNCTION pg_temp.pair(ours text, peer text, workers int, peer_work_mem text, n int DEFAULT 3,
                             OUT ours_ms float8, OUT peer_ms float8, OUT ours_cpu float8, OUT peer_cpu float8)
LANGUAGE plpgsql AS $$
DECLARE
    t0 timestamptz;
    c0 float8;
BEGIN
    ours_ms := 'Infinity';
    peer_ms := 'Infinity';
    ours_cpu := 0;
    peer_cpu := 0;
    PERFORM set_config('max_parallel_workers_per_gather', workers::text, true);
    FOR k IN 1..n LOOP
        PERFORM set_config('work_mem', '4MB', true);
        t0 := clock_timestamp();
        c0 := pg_temp.cpu_ms();
        EXECUTE ours;
        ours_cpu := ours_cpu + (pg_temp.cpu_ms() - c0) / n;
        ours_ms := least(ours_ms, extract(epoch FROM clock_timestamp() - t0) * 1000);
        PERFORM set_config('work_mem', peer_work_mem, true);
        t0 := clock_timestamp();
        c0 := pg_temp.cpu_ms();
        EXECUTE peer;
        peer_cpu := peer_cpu + (pg_temp.cpu_ms() - c0) / n;
        peer_ms := least(peer_ms, extract(epoch FROM clock_timestamp() - t0) * 1000);
    END LOOP;
END $$;
