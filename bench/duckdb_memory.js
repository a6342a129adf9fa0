#!/usr/bin/env node
// Peak memory of the DuckDB extension's aggregates against DuckDB's own, each query in a process
// of its own: the peak resident size while the query runs, above the size of the database with
// the extension loaded (the kernel's peak is reset through /proc/self/clear_refs before the query).
//   bench/duckdb_memory.js [BUILD_DIR]        (default: build; needs scripts/deps.sh run)
// ONLY=text runs the queries whose description holds text; THREADS=4 runs at 4 threads only.
// Queries: 10^6 one-row groups (median, count), and 10^5 groups of 10 values with 8 statistics;
// each at 1 and 4 threads.
const path = require('path');
const fs = require('fs');
const { execFileSync } = require('child_process');
const root = path.join(__dirname, '..');
const api = path.join(root, 'build-deps/duckdb/node_modules/@duckdb/node-api');

const groups1 = 'SELECT i AS g, i::DOUBLE AS x FROM range(1000000) r(i)';
const groups10 = 'SELECT i % 100000 AS g, (hash(i) % 1000)::DOUBLE AS x FROM range(1000000) r(i)';
const eight = (ours) => (ours
  ? ['qv_n(x)', 'qv_nmiss(x)', 'qv_min(x)', 'qv_max(x)', 'qv_mean(x)', 'qv_std(x)', 'qv_median(x)', 'qv_pctl(90, x)']
  : ['count(x)', 'count(*) - count(x)', 'min(x)', 'max(x)', 'avg(x)', 'stddev_samp(x)', 'median(x)', 'quantile_cont(x, 0.9)']);
// Every result is summed, so that no aggregate is left out of the plan.
const query = (fs_, from) => `SELECT ${fs_.map((f, i) => `sum(v${i})`).join(', ')} FROM (SELECT g, ${
  fs_.map((f, i) => `${f} AS v${i}`).join(', ')} FROM (${from}) GROUP BY g)`;
const cases = [
  ['10^6 one-row groups, median', query(['qv_median(x)'], groups1), query(['median(x)'], groups1)],
  ['10^6 one-row groups, count', query(['qv_n(x)'], groups1), query(['count(x)'], groups1)],
  ['10^5 groups of 10, 8 statistics', query(eight(true), groups10), query(eight(false), groups10)],
];

function vm(field) {
  const m = fs.readFileSync('/proc/self/status', 'utf8').match(new RegExp(`^${field}:\\s+(\\d+) kB`, 'm'));
  return Number(m[1]) * 1024;
}

async function child(extension, threads, sql) {
  const { DuckDBInstance } = require(api);
  const db = await DuckDBInstance.create(':memory:', { allow_unsigned_extensions: 'true', threads: String(threads) });
  const con = await db.connect();
  await con.run(`LOAD '${extension}'`);
  await con.run('SELECT qv_median(x) FROM range(10) r(x)');
  const before = vm('VmRSS');
  fs.writeFileSync('/proc/self/clear_refs', '5');
  await con.runAndReadAll(sql);
  process.stdout.write(String(vm('VmHWM') - before));
}

if (process.argv[2] === '--child') {
  child(process.argv[3], Number(process.argv[4]), process.argv[5]).catch((e) => {
    console.error(e.message);
    process.exit(1);
  });
} else {
  const extension = path.resolve(process.argv[2] || path.join(root, 'build'), 'qvewumth.duckdb_extension');
  const peak = (threads, sql) => Number(execFileSync(process.execPath, [__filename, '--child', extension, threads, sql]));
  const mb = (b) => `${(b / 1e6).toFixed(0).padStart(5)} MB`;
  for (const [what, ours, theirs] of cases.filter((c) => c[0].includes(process.env.ONLY || '')))
    for (const threads of process.env.THREADS ? [Number(process.env.THREADS)] : [1, 4])
      console.log(`threads ${threads}  ${what.padEnd(34)} extension ${mb(peak(threads, ours))}  DuckDB ${mb(peak(threads, theirs))}`);
}
