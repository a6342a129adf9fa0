-- Run by bench/pg_bench.sh in one connection of a throwaway server.
\set ON_ERROR_STOP 1
\pset footer off
SET client_min_messages = warning;
CREATE EXTENSION qvewumth;

\ir pg_pair.sql

-- What the backend holds in anonymous memory now, in kB.
CREATE FUNCTION pg_temp.rss_kb() RETURNS bigint LANGUAGE sql AS $$
    SELECT substring(pg_read_file('/proc/self/status') FROM 'RssAnon:\s*(\d+)')::bigint $$;

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

\echo == memory: the most the qv_ functions held for qv_median over 10^7 rows (divide by the rows), then the
\echo == resident anonymous memory of the backend in kB before and after parallel aggregates over 10^7 rows
SET max_parallel_workers_per_gather = 0;
SET client_min_messages = debug1;
SELECT qv_median(x) FROM r7;
SET client_min_messages = warning;
SET max_parallel_workers_per_gather = 2;
CREATE TEMP TABLE rss AS SELECT pg_temp.rss_kb() AS before_kb;
SELECT qv_median(x), qv_mad(x) FROM r7;
SELECT qv_median(x) FROM r7;
SELECT qv_pctl(90, x) FROM r7;
SELECT before_kb, pg_temp.rss_kb() AS after_kb FROM rss;

\echo == qv_median(x) on 10^7 rows with 2 workers
EXPLAIN (ANALYZE, COSTS OFF) SELECT qv_median(x) FROM r7;

\echo == times in ms (fastest of 3, ours and the peer run in turn); ratio = peer time over qv_ time, cpu_ratio
\echo == the same of the mean CPU times of the backend (without workers)
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
-- in memory, and the ratios are taken against the faster of the two. Without workers the ratio of
-- CPU times is given too.
SELECT tab, workers, ours, least(d.ours_ms, m.ours_ms) AS ours_ms, peer, d.peer_ms,
       nullif(m.peer_ms, 'Infinity') AS peer_ms_in_memory,
       CASE WHEN m.peer_ms = 'Infinity' OR d.peer_cpu < m.peer_cpu THEN d.peer_cpu ELSE m.peer_cpu END
           / nullif(CASE WHEN m.peer_ms = 'Infinity' THEN d.ours_cpu ELSE least(d.ours_cpu, m.ours_cpu) END, 0) AS cpu_ratio
INTO TEMP results
FROM cases, LATERAL pg_temp.pair(format('SELECT %s FROM %I', ours, tab), format('SELECT %s FROM %I', peer, tab),
                                 workers, '4MB') d,
     LATERAL pg_temp.pair(format('SELECT %s FROM %I', ours, tab), format('SELECT %s FROM %I', peer, tab),
                          workers, '2GB', CASE WHEN peer LIKE 'percentile_cont%' THEN 3 ELSE 0 END) m;
SELECT tab AS "table", workers, ours, round(ours_ms::numeric, 1) AS ours_ms, peer, round(peer_ms::numeric, 1) AS peer_ms,
       round(peer_ms_in_memory::numeric, 1) AS peer_ms_in_memory,
       round((least(peer_ms, coalesce(peer_ms_in_memory, peer_ms)) / ours_ms)::numeric, 2) AS ratio,
       CASE WHEN workers = 0 THEN round(cpu_ratio::numeric, 2) END AS cpu_ratio
FROM results ORDER BY tab, ours, workers;
