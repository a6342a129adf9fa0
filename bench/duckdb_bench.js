#!/usr/bin/env node
// The DuckDB extension against DuckDB's own functions in the same run, on rows held in an
// in-memory database: qv_median(x), qv_pctl(90, x), qv_mean(x) and qv_std(x) against median(x),
// quantile_cont(x, 0.9), avg(x) and stddev(x) over the whole table of 10^7 rows and over 1000
// groups of it, and over 10^6 rows in 1000 and in 10^5 groups, with 1 and 2 threads; row-wise
// qv_pmean(a, b, c) against (a + b + c) / 3. Times are the best of $REPEAT runs (default 3), the
// queries of a comparison taking turns, so that load on the machine falls on all of them alike.
//   bench/duckdb_bench.js [BUILD_DIR]        (default: build; needs scripts/deps.sh run)
//   bench/duckdb_bench.js BUILD_DIR --cases FILE   (bench/matrix.py's DuckDB part: the file's setup
//     statements, then each case's query and its peer's, one JSON line a case, ms, default threads)
const fs = require('fs');
const path = require('path');
const root = path.join(__dirname, '..');
const { DuckDBInstance } = require(path.join(root, 'build-deps/duckdb/node_modules/@duckdb/node-api'));

const extension = path.resolve(process.argv[2] || path.join(root, 'build'), 'qvewumth.duckdb_extension');
const cases = process.argv[3] === '--cases' ? JSON.parse(fs.readFileSync(process.argv[4], 'utf8')) : null;
const repeat = cases ? cases.repeat : Number(process.env.REPEAT || 3);
const rows = 10000000;

// The matrix's cases: one JSON line each, the best times in ms (no peer: null).
async function matrix(run, best) {
  for (const q of cases.setup) await run(q);
  for (const c of cases.cases) {
    const [ours, peer] = await best(c.peer_sql ? [c.ours, c.peer_sql] : [c.ours], c.repeat);
    console.log(JSON.stringify({ family: c.family, function: c.function, ours_ms: ours * 1e3, peer: c.peer,
                                 peer_ms: c.peer_sql ? peer * 1e3 : null }));
  }
}

(async () => {
  const db = await DuckDBInstance.create(':memory:', { allow_unsigned_extensions: 'true' });
  const con = await db.connect();
  const run = async (sql) => (await con.runAndReadAll(sql)).getRows();
  await run(`LOAD '${extension}'`);
  await run('SELECT setseed(0.5)');
  if (cases) return matrix(run, best);  // best: declared below, hoisted
  await run(`CREATE TABLE t AS SELECT (random() * 1000)::INTEGER AS g, random() * 1000 AS x FROM range(${rows})`);
  await run(`CREATE TABLE t6 AS SELECT (random() * 1000)::INTEGER AS g, (random() * 100000)::INTEGER AS h, random() * 1000 AS x FROM range(1000000)`);
  await run(`CREATE TABLE abc AS SELECT random() AS a, random() * 10 AS b, random() * 100 AS c FROM range(${rows})`);

  // Best time in seconds of each query, the queries taking turns.
  async function best(queries, runs = repeat) {
    const times = queries.map(() => Infinity);
    for (let r = 0; r < runs; r++)
      for (let i = 0; i < queries.length; i++) {
        const start = process.hrtime.bigint();
        await run(queries[i]);
        times[i] = Math.min(times[i], Number(process.hrtime.bigint() - start) / 1e9);
      }
    return times;
  }
  const whole = (f) => `SELECT ${f} FROM t`;
  const grouped = (f) => `SELECT sum(v) FROM (SELECT g, ${f} AS v FROM t GROUP BY g)`;
  const grouped6 = (g, f) => `SELECT sum(v) FROM (SELECT ${g}, ${f} AS v FROM t6 GROUP BY ${g})`;
  const peers = [['median', 'qv_median(x)', 'median(x)'], ['90th percentile', 'qv_pctl(90, x)', 'quantile_cont(x, 0.9)'],
                 ['mean', 'qv_mean(x)', 'avg(x)'], ['standard deviation', 'qv_std(x)', 'stddev(x)']];
  const comparisons = [];
  for (const [what, ours, theirs] of peers)
    comparisons.push([`${what}, whole table`, whole(ours), whole(theirs)],
                     [`${what}, 1000 groups`, grouped(ours), grouped(theirs)],
                     [`${what}, 10^6 in 1000 groups`, grouped6('g', ours), grouped6('g', theirs)],
                     [`${what}, 10^6 in 10^5 groups`, grouped6('h', ours), grouped6('h', theirs)]);
  console.log(`${rows} rows (10^6: the table of 10^6), best of ${repeat}; ratio = extension / DuckDB (below 1: the extension is faster)`);
  for (const threads of [1, 2]) {
    await run(`SET threads = ${threads}`);
    for (const [what, ours, theirs] of comparisons) {
      const [a, b] = await best([ours, theirs]);
      console.log(`threads ${threads}  ${what.padEnd(40)} extension ${a.toFixed(3)} s  DuckDB ${b.toFixed(3)} s  ratio ${(a / b).toFixed(2)}`);
    }
    const [a, b] = await best(['SELECT sum(qv_pmean(a, b, c)) FROM abc', 'SELECT sum((a + b + c) / 3) FROM abc']);
    console.log(`threads ${threads}  ${'row-wise mean of 3 columns'.padEnd(40)} extension ${a.toFixed(3)} s  SQL ${b.toFixed(3)} s  ratio ${(a / b).toFixed(2)}`);
  }
})().catch((e) => {
  console.error(e.message);
  process.exit(1);
});
