# R's habits: each row runs the package's function and R's own function on the same data and
# expects the same answer (value, NA, names, attributes).

xs <- c(3.5, NA, 1, 8, -2, NaN, 4)
dates <- as.Date("2024-03-01") + c(9, 2, 30, NA, 5)
times <- as.POSIXct("2024-03-01 12:00:00", tz = "UTC") + c(3600, 60, 86400)
tser <- ts(c(-1.5, 2, -3), start = c(2020, 2), frequency = 4)
g1 <- c("a", "b", "a", "b", "b", "b", "a")
g2 <- c(1, 1, 2, 2, 1, 2, 1)

# A centred moving sum where stats::filter(sides = 2) has one (windows that fit), and filter's.
centred_sum <- function(x, k) {
  f <- stats::filter(x, rep(1, k), sides = 2)
  list(qv_moving(x, k, "sum", align = "center")[!is.na(f)], as.vector(f)[!is.na(f)])
}
# R's centred window of row i (an even k one more after), as zoo and filter(sides = 2) centre it.
centred_max <- function(x, k) {
  vapply(seq_along(x), function(i) max(x[max(1, i - (k - 1) %/% 2):min(length(x), i + k %/% 2)]), 0)
}

test_that("the package's functions give R's answer where R has one", {
  cases <- list(
    list("na.rm = FALSE with an NA is NA", qv_median(xs, na.rm = FALSE), median(xs)),
    list("na.rm = TRUE leaves NA and NaN out", qv_median(xs, na.rm = TRUE), median(xs, na.rm = TRUE)),
    list("na.rm = FALSE without NA", qv_mean(c(1, 2, 4), na.rm = FALSE), mean(c(1, 2, 4))),
    list("ordinal leaves NA out as sort() does", qv_ordinal(c(5, NA, 3, qv_missing("A"), 1), 1:3), c(1, 3, 5)),
    list("ordinal, na.rm = FALSE", qv_ordinal(c(5, NA, 3, 1), 1, na.rm = FALSE), NA_real_),
    list("ordinal by column", qv_colordinal(data.frame(a = c(5, NA, 3), b = c(NaN, 2, 1)), 2), c(a = 5, b = 2)),
    list("ordinal by row", qv_pordinal(c(5, NA, 3), c(NA, 2, NA), c(4, 1, 0), k = 1), c(4, 1, 0)),
    list("ordinal by group", qv_by(c(5, NA, 3, NA, 1), c(1, 1, 1, 2, 2), "ordinal", 1), c("1" = 3, "2" = 1)),
    list("na.rm = FALSE finds an NA anywhere in a long vector",
         vapply(c(1, 4099, 4100, 4101, 4102, 9001), function(at) qv_mean(replace(as.double(1:9001), at, NA), na.rm = FALSE), 0),
         rep(NA_real_, 6)),
    list("na.rm = FALSE, several percentiles", qv_pctl5(xs, c(10, 90), na.rm = FALSE),
         c("10%" = NA_real_, "90%" = NA_real_)),
    list("percentiles named", qv_pctl3(xs, c(10, 2.5, 90)),
         quantile(xs, c(0.1, 0.025, 0.9), type = 1, na.rm = TRUE)),
    list("an NA percentile has no name", names(suppressWarnings(qv_pctl(xs, c(50, NA)))),
         names(quantile(xs, c(0.5, NA), na.rm = TRUE))),
    list("row-wise na.rm = FALSE", qv_pmax(c(1, NA, 3), c(2, 5, NA), na.rm = FALSE),
         pmax(c(1, NA, 3), c(2, 5, NA))),
    list("row-wise min of dates", qv_pmin(dates, rev(dates)), pmin(dates, rev(dates), na.rm = TRUE)),
    list("row-wise max of dates, na.rm = FALSE", qv_pmax(dates, rev(dates), na.rm = FALSE), pmax(dates, rev(dates))),
    list("row-wise max of times keeps the time zone", qv_pmax(times, rev(times)), pmax(times, rev(times))),
    list("row-wise min of a data frame of dates", qv_pmin(data.frame(dates, rev(dates))),
         pmin(dates, rev(dates), na.rm = TRUE)),
    list("row-wise median of dates", qv_pmedian(dates, rev(dates), dates + 1),
         structure(apply(cbind(dates, rev(dates), dates + 1), 1, median, na.rm = TRUE), class = "Date")),
    list("row-wise n of dates is a number", qv_pn(dates, rev(dates)), (!is.na(dates)) + !is.na(rev(dates))),
    list("names through an elementwise function", qv_abs(c(a = -1, b = 2)), abs(c(a = -1, b = 2))),
    list("a ts through an elementwise function", qv_abs(tser), abs(tser)),
    list("a ts through a two-argument function", qv_atan2(tser, 1), atan2(tser, 1)),
    list("median of dates", qv_median(dates), median(dates, na.rm = TRUE)),
    list("max of dates", qv_max(dates), max(dates, na.rm = TRUE)),
    list("percentile of dates", qv_pctl3(dates, 50), quantile(dates, 0.5, type = 1, na.rm = TRUE)),
    list("median of times keeps the time zone", qv_median(times), median(times)),
    list("mean of times", qv_mean(times), mean(times)),
    list("n of dates is a number", qv_n(dates), sum(!is.na(dates))),
    list("qv_by na.rm = FALSE", qv_by(xs, g1, "median", na.rm = FALSE),
         c(tapply(xs, g1, median))),
    list("qv_by fun as a function", qv_by(xs, g1, qv_max),
         c(tapply(xs, g1, max, na.rm = TRUE))),
    list("qv_by with a parameter", qv_by(xs, g1, qv_pctl3, 25),
         c(tapply(xs, g1, function(v) quantile(v, 0.25, type = 1, na.rm = TRUE, names = FALSE)))),
    list("qv_by with a data frame of keys", qv_by(xs, data.frame(g1, g2), "max"),
         tapply(xs, data.frame(g1, g2), max, na.rm = TRUE)),
    list("qv_by of a data frame by two keys", qv_by(data.frame(v = xs), list(g = g1, h = g2), "min"),
         aggregate(data.frame(v = xs), list(g = g1, h = g2), min, na.rm = TRUE)),
    list("qv_moving na.rm = FALSE", qv_moving(xs, 2, "max", na.rm = FALSE),
         c(xs[1], vapply(2:7, function(i) max(xs[(i - 1):i]), 0))),
    list("qv_moving centred na.rm = FALSE", qv_moving(xs, 3, "max", na.rm = FALSE, align = "center"),
         c(NA, NA, NA, 8, NA, NA, NA)),
    list("qv_moving centred, k = 12", centred_sum(as.double(1:30), 12)[[1]], centred_sum(as.double(1:30), 12)[[2]]),
    list("qv_moving centred, k = 2", centred_sum(as.double(1:9)^2, 2)[[1]], centred_sum(as.double(1:9)^2, 2)[[2]]),
    list("qv_moving centred, k = 5", centred_sum(as.double(1:9)^2, 5)[[1]], centred_sum(as.double(1:9)^2, 5)[[2]]),
    list("qv_moving centred na.rm = FALSE, k = 4", qv_moving(xs, 4, "max", na.rm = FALSE, align = "center"),
         centred_max(xs, 4)),
    list("qv_moving keeps a ts", qv_moving(tser, 2, "max"), ts(c(-1.5, 2, 2), start = c(2020, 2), frequency = 4)),
    list("row-wise keeps the first argument's names", qv_pmax(c(a = 1, b = 2), 3), pmax(c(a = 1, b = 2), 3)),
    list("row-wise names only from the first argument", qv_pmax(3, c(a = 1, b = 2)), pmax(3, c(a = 1, b = 2))),
    list("row-wise names only of the result's length", qv_pmax(c(a = 1), 1:3), pmax(c(a = 1), 1:3)),
    list("row-wise over a data frame keeps its row names", qv_pmean(mtcars), rowMeans(mtcars)),
    list("row-wise over a data frame with automatic row names", qv_pmean(data.frame(a = 1:2, b = 3:4)),
         rowMeans(data.frame(a = 1:2, b = 3:4))),
    list("row-wise over a matrix keeps its row names", qv_pmax(matrix(1:4, 2, dimnames = list(c("r", "s"), NULL))),
         apply(matrix(1:4, 2, dimnames = list(c("r", "s"), NULL)), 1, max)))
  for (case in cases) expect_equal(case[[2]], case[[3]], label = case[[1]])
})

test_that("na.rm and dates that a statistic cannot take are errors naming the function and argument", {
  cases <- list(
    list(quote(qv_median(1, na.rm = NA)), "^qv_median: argument na.rm must be TRUE or FALSE$"),
    list(quote(qv_pmean(1, 2, na.rm = "no")), "^qv_pmean: argument na.rm must be TRUE or FALSE$"),
    list(quote(qv_by(1, 1, "n", na.rm = c(TRUE, FALSE))), "^qv_by: argument na.rm must be TRUE or FALSE$"),
    list(quote(qv_sum(dates)), "^qv_sum: argument x holds dates"),
    list(quote(qv_std(times)), "^qv_std: argument x holds times"),
    list(quote(qv_psum(dates, dates)), "^qv_psum: the arguments hold dates"),
    list(quote(qv_pmin(dates[1:3], times)), "^qv_pmin: the arguments mix dates and times"),
    list(quote(qv_by(1:3, list(1:3, 1:2), "n")), "^qv_by: key 2 of argument g must be as long as x \\(3\\), not 2$"),
    list(quote(qv_by(1:3, list(), "n")), "^qv_by: argument g holds no keys$"),
    list(quote(qv_by(1:3, 1:3, median)), "^qv_by: argument fun must be one of the package's statistics"),
    list(quote(qv_moving(1:3, 2, mean)), "^qv_moving: argument fun must be one of the package's statistics"),
    list(quote(qv_moving(c(1, NA, 3), 2, "ordinal", 1)), "^qv_moving: \"ordinal\" cannot leave the missing values"))
  for (case in cases) expect_error(eval(case[[1]]), case[[2]], label = deparse(case[[1]]))
})
