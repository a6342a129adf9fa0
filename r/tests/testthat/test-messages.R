# Bad input is an error naming the function and the argument; statuses are one warning per call.

test_that("every bad input is an error that names the function and the argument", {
  cases <- list(
    list(quote(qv_log("1")), "^qv_log: argument x must be numeric, not character$"),
    list(quote(qv_log(factor(1))), "^qv_log: argument x must be numeric, not a factor$"),
    list(quote(qv_round(1, list(0.1))), "^qv_round: argument unit must be numeric, not a list$"),
    list(quote(qv_mod(1, NULL, 0.1)), "^qv_mod: argument y must be numeric, not NULL$"),
    list(quote(qv_median(data.frame(a = 1))), "^qv_median: argument x must be numeric, not a data frame$"),
    list(quote(qv_pctl(1:3, "50")), "^qv_pctl: argument p must be numeric, not character$"),
    list(quote(qv_pmean(1, "2")), "^qv_pmean: argument 2 must be numeric, not character$"),
    list(quote(qv_pmean(data.frame(a = 1, s = "x"))), "^qv_pmean: column 's' of argument 1 must be numeric"),
    list(quote(qv_pmax(matrix(letters[1:4], 2))), "^qv_pmax: column 1 of argument 1 must be numeric"),
    list(quote(qv_ppctl(1, 2, p = "x")), "^qv_ppctl: argument p must be numeric, not character$"),
    list(quote(qv_coalescec(1)), "^qv_coalescec: argument x must be character, not numeric$"),
    list(quote(qv_whichc("a", 1)), "^qv_whichc: argument v must be character, not numeric$"),
    list(quote(qv_is_missing(list(1))), "^qv_is_missing: argument x must be numeric or character, not a list$"),
    list(quote(qv_is_missing(strrep("a", 70000))), "65535"),
    list(quote(qv_by(1, 1, "pctl")), "^qv_by: argument param is missing: qv_pctl takes one"),
    list(quote(qv_by(1, 1, "median", 50)), "^qv_by: argument param must be NULL: qv_median takes no parameter$"),
    list(quote(qv_by(1, 1, "pctl", c(1, 2))), "^qv_by: argument param must be one number, the parameter of qv_pctl$"),
    list(quote(qv_by(1, 1, "abs")), "^qv_by: argument fun: qv_abs is not a statistic"),
    list(quote(qv_by(1, 1, "avg")), "^qv_by: argument fun: unknown function avg$"),
    list(quote(qv_by(1, 1, 2)), "^qv_by: argument fun must name a statistic"),
    list(quote(qv_by(1:2, 1, "n")), "^qv_by: argument g must be as long as x \\(2\\), not 1$"),
    list(quote(qv_by("1", 1, "n")), "^qv_by: argument x must be numeric, not character$"),
    list(quote(qv_moving(1:3, 0, "n")), "^qv_moving: argument k, the window, must be one whole number"),
    list(quote(qv_moving(1:3, 2.5, "n")), "^qv_moving: argument k, the window, must be one whole number"),
    list(quote(qv_moving(1:3, NA, "n")), "^qv_moving: argument k, the window, must be one whole number"),
    list(quote(qv_moving(1:3, 2, "largest")), "^qv_moving: argument param is missing: qv_largest takes one"),
    list(quote(qv_missing("AB")), "^qv_missing: argument letter: \"AB\" \\(element 1\\) names no missing value"),
    list(quote(qv_missing(1)), "^qv_missing: argument letter must be character, not numeric$"),
    list(quote(qv_missing(NA)), "^qv_missing: argument letter must be character, not logical$"),
    list(quote(qv_median(NULL)), "^qv_median: argument x must be numeric, not NULL$"),
    list(quote(qv_log(NULL)), "^qv_log: argument x must be numeric, not NULL$"),
    list(quote(qv_missing_letter("A")), "^qv_missing_letter: argument x must be numeric, not character$"),
    list(quote(qv_as_number(c("1", "1,5"))), "^qv_as_number: argument x: \"1,5\" \\(element 2\\) is neither a number"),
    list(quote(qv_as_number(factor("1"))), "^qv_as_number: argument x must be character, not a factor$"))
  for (case in cases) expect_error(eval(case[[1]]), case[[2]], label = deparse(case[[1]]))
})

test_that("an error is raised from the user's call, whichever internal function found it", {
  cases <- list(
    quote(qv_pmean(1, "a")), quote(qv_median("a")), quote(qv_median(1, na.rm = NA)),
    quote(qv_pctl(1:3, "50")), quote(qv_by(1:2, 1, "n")), quote(qv_by(1:2, 1:2, "nosuch")),
    quote(qv_by(data.frame(a = "x"), 1, "n")), quote(qv_moving(1:3, 0, "n")),
    quote(qvewumth::qv_pmax(list(1), 2)))
  for (case in cases) {
    e <- tryCatch(eval(case), error = identity)
    expect_identical(conditionCall(e), case, label = deparse(case))
  }
})

test_that("statuses other than ok and missing argument are one warning per call", {
  cases <- list(
    list(quote(qv_log(c(1, 0, -1, NA))), "^qv_log: 2 of 4 rows gave invalid argument$"),
    list(quote(qv_geomean(c(4, -1))), "^qv_geomean: invalid argument; an argument marked invalid$"),
    list(quote(qv_pctl(1:4, c(50, -1, 101))), "^qv_pctl: 2 of 3 rows gave invalid argument; 2 rows marked an argument invalid$"),
    list(quote(qv_pgeomean(c(4, -1, 2), 1)), "^qv_pgeomean: 1 of 3 rows gave invalid argument; 1 row marked an argument invalid$"),
    list(quote(qv_by(c(4, -1, 2), c(1, 1, 2), "geomean")), "^qv_by\\(\"geomean\"\\): 1 of 2 groups gave invalid argument$"),
    list(quote(qv_moving(c(4, -1, 4), 2, "geomean")), "^qv_geomean: 2 of 3 rows gave invalid argument$"),
    list(quote(qv_mod(1:3, 1:2)), "^qv_mod: longer argument not a multiple of length of shorter$"),
    list(quote(qv_kurtosis(c(1, 2, 3, 1e155))), "^qv_kurtosis: not a number$"),
    list(quote(qv_pstd(c(1, Inf), 2)), "^qv_pstd: 1 of 2 rows gave not a number$"),
    list(quote(qv_by(c(1, Inf, 2, 3), c(1, 1, 2, 2), "std")), "^qv_by\\(\"std\"\\): 1 of 2 groups gave not a number$"),
    list(quote(qv_by(c(1, Inf, 2, 3), c(1, 1, 2, 2), qv_cv)), "^qv_by\\(\"cv\"\\): 1 of 2 groups gave not a number$"),
    list(quote(qv_pctl(c(1, 2), c(50, NA))), "^qv_pctl: 1 of 2 rows gave invalid argument; 1 row marked an argument invalid$"))
  for (case in cases) expect_warning(eval(case[[1]]), case[[2]], label = deparse(case[[1]]))
  # A missing value in gives a missing value out without a warning, as in R; qv_status() has it.
  expect_silent(r <- qv_pmean(c(1, NA), NA))
  expect_identical(qv_status()$status, c("ok", "missing argument"))
})

test_that("a NaN result is NA, and running out of memory is an error, never a value", {
  expect_identical(suppressWarnings(qv_kurtosis(c(1, 2, 3, 1e155))), NA_real_)
  expect_identical(qv_status()$status, "not a number")
  x <- runif(3000)
  refuse <- qvewumth:::.qv_refuse_memory
  on.exit(refuse(0))
  refuse(1024)
  cases <- list(quote(qv_median(x)), quote(qv_pctl(x, c(10, 90))), quote(qv_by(x, rep(1:2, 1500), "median")),
                quote(qv_moving(x, 500, "median")), quote(qv_pmedian(as.data.frame(matrix(x, 10)))),
                quote(qv_by(x, rep(1, 3000), "mad")))
  for (case in cases) expect_error(eval(case), "^qv_[a-z]+: out of memory", label = deparse(case))
  expect_error(qv_median(x), "^qv_median: out of memory asking for [0-9]+ bytes$")
  expect_error(qv_by(x, rep(1:2, 1500), "median"), "^qv_median: out of memory asking for [0-9]+ bytes in row 1 of 2$")
  refuse(0)
  expect_identical(qv_median(x), reference("MEDIAN", x)[[1]])
})
