# The R package against R's own functions over the same data in one session. Each case runs the
# package and its peer alternately REPEATS times (the first argument, default 5) and reports the
# median times and their ratio (ours / theirs: below 1 is faster); the results are compared first,
# so a fast wrong answer shows.
suppressMessages(library(qvewumth))
repeats <- if (length(commandArgs(TRUE))) as.integer(commandArgs(TRUE)[1]) else 5L
set.seed(42)

elapsed <- function(f) { gc(FALSE); system.time(f())[["elapsed"]] }
compare <- function(what, qv, peer, peer_name, same = function(a, b) isTRUE(all.equal(a, b)), times = repeats) {
  agree <- same(qv(), peer())
  t <- replicate(times, c(qv = elapsed(qv), peer = elapsed(peer)))
  q <- median(t["qv", ]); p <- median(t["peer", ])
  cat(sprintf("%-46s %8.3f s   %-34s %8.3f s   ratio %6.2f%s\n", what, q, peer_name, p, q / p,
              if (agree) "" else "   (RESULTS DIFFER)"))
}
unnamed <- function(a, b) isTRUE(all.equal(unname(a), as.vector(b)))

for (n in c(1e6, 1e7)) {
  x <- runif(n)
  compare(sprintf("qv_median(x), 10^%d doubles", log10(n)), function() qv_median(x), function() median(x),
          "median(x)")
}
# The surface's overhead: qv_n, qv_mean and qv_median against the package's own call from C++ over an
# argument list built once (engine_bench's figures, passed by r_bench.sh in QV_PACKAGE_MS), over
# the values engine_bench timed (QV_BENCH_VALUES, written by r_bench.sh), else values drawn alike.
own <- strsplit(strsplit(trimws(Sys.getenv("QV_PACKAGE_MS")), " ")[[1]], "=")
own <- setNames(as.numeric(vapply(own, `[`, "", 2)), vapply(own, `[`, "", 1))
values <- if (nzchar(Sys.getenv("QV_BENCH_VALUES"))) readBin(Sys.getenv("QV_BENCH_VALUES"), "double", 1e7) else runif(1e7, -1e6, 1e6)
for (n in c(1e6, 1e7)) {
  x <- values[seq_len(n)]
  for (f in c("n", "mean", "median")) {
    fn <- get(paste0("qv_", f))
    calls <- if (n < 1e7) 20L else 3L  # many calls a timing, for the clock's resolution
    t <- median(replicate(repeats, elapsed(function() for (i in seq_len(calls)) fn(x)))) * 1e3 / calls
    key <- sprintf("%s/%d", toupper(f), as.integer(n))
    cat(sprintf("%-46s %8.2f ms  the package's own call from C++ %s\n", sprintf("qv_%s(x), 10^%d doubles", f, log10(n)), t,
                if (is.na(own[key])) "not measured (build engine_bench)" else sprintf("%8.2f ms   ratio %6.2f", own[key], t / own[key])))
  }
}
x <- runif(1e7)
compare("qv_pctl(x, 90), 10^7 doubles", function() qv_pctl(x, 90),
        function() quantile(x, 0.9, type = 2), "quantile(x, 0.9, type = 2)")
# The bulk paths: a sum and a maximum a chunk at a time, several percentiles from one ordering.
compare("qv_sum(x), 10^7 doubles", function() qv_sum(x), function() sum(x), "sum(x)")
compare("qv_max(x), 10^7 doubles", function() qv_max(x), function() max(x), "max(x)")
p5 <- c(5, 25, 50, 75, 95)
compare("qv_pctl(x, c(5, 25, 50, 75, 95)), 10^7 doubles", function() qv_pctl(x, p5),
        function() quantile(x, p5 / 100, type = 2), "quantile(x, 5 probs, type = 2)")
# quantile() computes 1e7 * 0.07 in binary and lands a hair off a whole rank, where qv_pctl, given 7,
# lands on it: the two answers differ by a few parts in 10^8 where the neighbours are averaged.
compare("qv_pctl(x, 1:99), 10^7 doubles", function() qv_pctl(x, 1:99),
        function() quantile(x, 1:99 / 100, type = 2), "quantile(x, 99 probs, type = 2)",
        function(a, b) isTRUE(all.equal(a, b, tolerance = 1e-6)))

# Moving medians: qv_moving's windows trail, so from the k-th element on they are runmed's centred
# windows moved by (k - 1) / 2, and zoo's right-aligned ones.
x <- runif(1e6)
moving_times <- if (nzchar(Sys.getenv("QV_BENCH_MOVING_REPEATS"))) as.integer(Sys.getenv("QV_BENCH_MOVING_REPEATS")) else repeats
for (k in c(101, 1001)) {
  tail_of <- function(r) r[k:length(x)]
  centred <- function(r) r[((k + 1) / 2):(length(x) - (k - 1) / 2)]
  compare(sprintf("qv_moving(x, %d, \"median\"), 10^6", k), function() qv_moving(x, k, "median"),
          function() runmed(x, k, endrule = "keep", algorithm = "Turlach"), sprintf("runmed(x, %d)", k),
          function(a, b) isTRUE(all.equal(tail_of(a), centred(b))), times = moving_times)
  if (requireNamespace("zoo", quietly = TRUE)) {
    compare(sprintf("qv_moving(x, %d, \"median\"), 10^6", k), function() qv_moving(x, k, "median"),
            function() zoo::rollmedianr(x, k), sprintf("zoo::rollmedianr(x, %d)", k),
            function(a, b) isTRUE(all.equal(tail_of(a), as.vector(b))), times = moving_times)
  }
}

v <- rnorm(1e6); g <- sample(1000L, 1e6, replace = TRUE)
compare("qv_by(v, g, \"median\"), 10^6 rows, 1000 groups", function() qv_by(v, g, "median"),
        function() tapply(v, g, median), "tapply(v, g, median)", unnamed)
if (requireNamespace("data.table", quietly = TRUE)) {
  dt <- data.table::data.table(v = v, g = g)
  by_dt <- function() eval(quote(dt[, median(v), keyby = g]$V1), list(dt = dt), globalenv())
  compare("qv_by(v, g, \"median\"), 10^6 rows, 1000 groups", function() qv_by(v, g, "median"), by_dt,
          "data.table dt[, median(v), by = g]", unnamed)
}

key <- sprintf("id%06d", sample(1e5L, 1e6, replace = TRUE))
compare("qv_by(v, key, \"mean\"), 10^6 rows, 10^5 text keys", function() qv_by(v, key, "mean"),
        function() tapply(v, key, mean), "tapply(v, key, mean)", unnamed)
if (requireNamespace("data.table", quietly = TRUE)) {
  dt <- data.table::data.table(v = v, s = key)
  by_key <- function() eval(quote(dt[, mean(v), keyby = s]$V1), list(dt = dt), globalenv())
  compare("qv_by(v, key, \"mean\"), 10^6 rows, 10^5 text keys", function() qv_by(v, key, "mean"), by_key,
          "data.table dt[, mean(v), by = s]", unnamed)
}

m <- matrix(rnorm(1e7), ncol = 10); m[sample(length(m), 1e5)] <- NA
compare("qv_colmean(m), 10 columns of 10^6 rows", function() qv_colmean(m), function() colMeans(m, na.rm = TRUE),
        "colMeans(m, na.rm = TRUE)")
if (requireNamespace("matrixStats", quietly = TRUE)) {
  compare("qv_colmedian(m), 10 columns of 10^6 rows", function() qv_colmedian(m),
          function() matrixStats::colMedians(m, na.rm = TRUE), "matrixStats::colMedians(m, na.rm = TRUE)", unnamed)
}
compare("qv_pmean(m), 10 columns of 10^6 rows", function() qv_pmean(m), function() rowMeans(m, na.rm = TRUE),
        "rowMeans(m, na.rm = TRUE)")
