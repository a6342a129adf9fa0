-- Run by bench/pg_bench.sh in one connection of a throwaway server.
\set ON_ERROR_STOP 1
\pset footer off
SET client_min_messages = warning;
CREATE EXTENSION qvewumth;

-- The fastest of n runs of a query, in milliseconds, under a setting of parallel workers.
CREATE FUNCTION pg_temp.best(q text, workers int, n int DEFAULT 3) RETURNS float8 LANGUAGE plpgsql AS $$
DECLARE
    t0 timestamptz;
    ms float8 := 'Infinity';
BEGIN
    PERFORM set_config('max_parallel_workers_per_gather', workers::text, true);
    FOR k IN 1..n LOOP
        t0 := clock_timestamp();
        EXECUTE q;
        ms := least(ms, extract(epoch FROM clock_timestamp() - t0) * 1000);
    END LOOP;
    RETURN ms;
END $$;

\echo == tables: 10^6 and 10^7 uniform random doubles, the same sorted, 10^6 rows of three columns
SELECT setseed(0.5);
CREATE TABLE r6 AS SELECT random() AS x FROM generate_series(1, 1000000);
CREATE TABLE s6 AS SELECT x FROM r6 ORDER BY x;
CREATE TABLE r7 AS SELECT random() AS x FROM generate_series(1, 10000000);
CREATE TABLE s7 AS SELECT x FROM r7 ORDER BY x;
CREATE TABLE abc AS SELECT random() AS a, random() AS b, random() AS c FROM generate_series(1, 1000000);
VACUUM ANALYZE;
-- Read every table once so that the first timed run does not pay for the hint bits.
SELECT count(*) FROM r6, (SELECT count(*) FROM s6) a, (SELECT count(*) FROM r7) b, (SELECT count(*) FROM s7) c,
    (SELECT count(*) FROM abc) d;

\echo == qv_median(x) on 10^7 rows with 2 workers
SET max_parallel_workers_per_gather = 2;
EXPLAIN (ANALYZE, COSTS OFF) SELECT qv_median(x) FROM r7;

\echo == times in ms (fastest of 3), each pair in the same connection; ratio = qv_ time / peer time
CREATE TEMP TABLE cases(tab text, ours text, peer text, workers int);
INSERT INTO cases
SELECT t, o, p, w
FROM unnest(ARRAY['r6', 's6', 'r7', 's7']) t,
     (VALUES ('qv_median(x)', 'percentile_cont(0.5) WITHIN GROUP (ORDER BY x)'),
             ('qv_pctl(50, x)', 'percentile_cont(0.5) WITHIN GROUP (ORDER BY x)'),
             ('qv_mean(x)', 'avg(x)')) q(o, p),
     (VALUES (0), (2)) w(w)
UNION ALL
SELECT 'abc', 'max(qv_mean(a, b, c))', 'max((a + b + c) / 3)', w FROM (VALUES (0), (2)) w(w);

-- percentile_cont sorts in work_mem (4MB by default) or on disk; it is also timed with room to sort
-- in memory.
SELECT tab, workers, ours, round(pg_temp.best(format('SELECT %s FROM %I', ours, tab), workers)::numeric, 1) AS ours_ms,
       peer, round(pg_temp.best(format('SELECT %s FROM %I', peer, tab), workers)::numeric, 1) AS peer_ms
INTO TEMP results FROM cases;
SET work_mem = '2GB';
ALTER TABLE results ADD COLUMN peer_ms_in_memory numeric;
UPDATE results SET peer_ms_in_memory = round(pg_temp.best(format('SELECT %s FROM %I', peer, tab), workers)::numeric, 1)
WHERE peer LIKE 'percentile_cont%';
RESET work_mem;
SELECT tab AS "table", workers, ours, ours_ms, peer, peer_ms, peer_ms_in_memory,
       round(ours_ms / least(peer_ms, coalesce(peer_ms_in_memory, peer_ms)), 2) AS ratio
FROM results ORDER BY tab, ours, workers;
