// Reads examples/weather.csv in DuckDB through its node client, loads the extension and
// summarises the table: one row per station, then the 3-day moving median of the noon
// temperature for every station and day.
//   NODE_PATH=build-deps/duckdb/node_modules node sql/duckdb/weather.js EXTENSION CSV
const { DuckDBInstance } = require('@duckdb/node-api');

const [extension, csv] = process.argv.slice(2);

// Prints a result as a plain table, numbers as DuckDB writes them, NULL as an empty cell.
function print(reader) {
  const names = reader.columnNames();
  const cells = reader.getRows().map((row) => row.map((v) => (v === null ? '' : String(v))));
  const widths = names.map((n, i) => Math.max(n.length, ...cells.map((r) => r[i].length)));
  const line = (r) => r.map((c, i) => c.padEnd(widths[i])).join('  ').trimEnd();
  console.log([line(names), ...cells.map(line)].join('\n'));
}

(async () => {
  const db = await DuckDBInstance.create(':memory:', { allow_unsigned_extensions: 'true' });
  const con = await db.connect();
  await con.run(`LOAD '${extension}'`);
  // The readings stay text: '.M' (a broken sensor) is the missing value .M, '' is '.'.
  await con.run(`CREATE TABLE weather AS SELECT * FROM read_csv('${csv}', header = true,
                   types = {'t06': 'VARCHAR', 't12': 'VARCHAR', 't18': 'VARCHAR'})`);
  print(await con.runAndReadAll(`
    SELECT station, qv_n(t12) AS days, qv_nmiss(t12) AS missing,
           qv_round(qv_mean(t12), 0.01) AS mean_t12, qv_median(t12) AS median_t12,
           qv_pctl(90, t12) AS p90_t12, qv_round(qv_std(t12), 0.01) AS std_t12,
           qv_min(t06) AS low_t06, qv_max(t18) AS high_t18, qv_round(qv_sum(rain_mm), 0.1) AS rain_mm
    FROM weather GROUP BY station ORDER BY station`));
  console.log();
  print(await con.runAndReadAll(`
    SELECT station, date::VARCHAR AS date, t12,
           qv_median(t12) OVER (PARTITION BY station ORDER BY date
                                RANGE BETWEEN INTERVAL 2 DAYS PRECEDING AND CURRENT ROW) AS median_3_days
    FROM weather ORDER BY station, date`));
})().catch((e) => {
  console.error(`weather.js: ${e.message}`);
  process.exit(1);
});
