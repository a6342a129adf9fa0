// The extension through DuckDB's node client, a second real client: installed from a copy in
// another folder and loaded by name with nothing else copied, loading twice and into a second
// database, every aggregate against its row-wise form over the same values, an error.
//   NODE_PATH=build-deps/duckdb/node_modules node client.js build/qvewumth.duckdb_extension VERSION
const { DuckDBInstance } = require('@duckdb/node-api');
const fs = require('fs'), os = require('os'), path = require('path');

let passed = 0, failed = 0;
const check = (ok, what) => (ok ? passed++ : (failed++, console.log('FAILED: ' + what)));
async function open() {
  const db = await DuckDBInstance.create(':memory:', { allow_unsigned_extensions: 'true', threads: '4' });
  const con = await db.connect();
  const rows = async (sql) => (await con.runAndReadAll(sql)).getRows();
  await rows(`LOAD '${process.argv[2]}'`);
  return rows;
}

// The one file alone: copied into a folder of its own, installed into an empty extension
// directory, loaded by name (the package travels inside it; QV_LIB is not set here).
async function installed() {
  const from = fs.mkdtempSync(path.join(os.tmpdir(), 'qvfrom-'));
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qvext-'));
  const file = path.join(from, 'qvewumth.duckdb_extension');
  fs.copyFileSync(process.argv[2], file);
  const db = await DuckDBInstance.create(':memory:', { allow_unsigned_extensions: 'true', extension_directory: dir });
  const con = await db.connect();
  const rows = async (sql) => (await con.runAndReadAll(sql)).getRows();
  await rows(`INSTALL '${file}'`);
  await rows('LOAD qvewumth');
  check((await rows('SELECT qv_median(x) FROM range(5) r(x)'))[0][0] === 2, 'qv_median after INSTALL and LOAD');
  const [[version]] = await rows("SELECT extension_version FROM duckdb_extensions() WHERE extension_name = 'qvewumth'");
  check(version === `v${process.argv[3]}`, `the version: ${version}`);
  fs.rmSync(from, { recursive: true });
  fs.rmSync(dir, { recursive: true });
}

(async () => {
  await installed();
  const rows = await open(), other = await open();
  await rows(`LOAD '${process.argv[2]}'`);  // a second LOAD changes nothing
  await rows(`CREATE TABLE t AS SELECT i, CASE WHEN i % 9 = 4 THEN NULL ELSE random() * 100 - 30 END AS x
              FROM range(40) r(i)`);
  // The values as exact literals in the order an aggregate hands them to the package: the missing
  // ones first, then ascending.
  const literals = (await rows('SELECT x::VARCHAR FROM t ORDER BY x NULLS FIRST'))
    .map(([x]) => (x === null ? 'NULL' : `'${x}'::DOUBLE`)).join(', ');
  const aggregates = await rows(`SELECT DISTINCT function_name, len(parameters) FROM duckdb_functions()
                                 WHERE function_name LIKE 'qv\\_%' ESCAPE '\\' AND function_type = 'aggregate'`);
  check(aggregates.length > 20, `aggregates registered: ${aggregates.length}`);
  for (const [name, params] of aggregates) {
    const p = Number(params) === 2 ? '37.5, ' : '';
    // Counts are BIGINT, which the client reads as a BigInt.
    const [[raw]] = await rows(`SELECT ${name}(${p}x) FROM t`);
    const agg = typeof raw === 'bigint' ? Number(raw) : raw;
    const [[row]] = await rows(`SELECT qv_p${name.slice(3)}(${p}${literals})`);
    check(agg === null ? row === null : Object.is(agg, row), `${name}: aggregate ${agg}, row-wise ${row}`);
  }
  // qv_functions() lists exactly what is registered, each with its kind, and how to call it.
  const kinds = { aggregate: 'aggregate', scalar: 'row-wise' };
  const registered = (await rows(`SELECT DISTINCT function_name, function_type FROM duckdb_functions()
                                  WHERE function_name LIKE 'qv\\_%' ESCAPE '\\' AND function_type <> 'table'`))
    .map(([n, t]) => `${n} ${kinds[t]}`).sort();
  const listed = (await rows('SELECT function_name, kind FROM qv_functions()')).map(([n, k]) => `${n} ${k}`).sort();
  check(JSON.stringify(listed) === JSON.stringify(registered), `qv_functions(): ${listed.length} rows, ${registered.length} registered`);
  const [[usage]] = await rows("SELECT usage FROM qv_functions() WHERE function_name = 'qv_pctl'");
  check(usage === 'qv_pctl(p, x)', `the usage of qv_pctl: ${usage}`);
  check((await other('SELECT qv_median(i) FROM range(4) r(i)'))[0][0] === 1.5, 'the second database');
  const error = await rows("SELECT qv_abs('abc')").then(() => '', (e) => e.message);
  check(error.includes("qv_abs: argument 1 must be a number, not a character value ('abc')"), `the error: ${error}`);
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 ? 0 : 1);
})().catch((e) => {
  console.log(`FAILED: ${e.message}\n${passed} passed, ${failed + 1} failed`);
  process.exit(1);
});
