# The R package against R's own functions over the same data in one session. Each case runs the
# package and its peer alternately REPEATS times (the first argument, default 5) and reports the
# median times and their ratio; the results are compared first, so a fast wrong answer shows.
suppressMessages(library(qvewumth))
repeats <- if (length(commandArgs(TRUE))) as.integer(commandArgs(TRUE)[1]) else 5L
set.seed(42)

elapsed <- function(f) { gc(FALSE); system.time(f())[["elapsed"]] }
compare <- function(what, qv, peer, peer_name, same = function(a, b) isTRUE(all.equal(a, b))) {
  agree <- same(qv(), peer())
  t <- replicate(repeats, c(qv = elapsed(qv), peer = elapsed(peer)))
  q <- median(t["qv", ]); p <- median(t["peer", ])
  cat(sprintf("%-44s %8.3f s   %-36s %8.3f s   %s %5.2fx%s\n", what, q, peer_name, p,
              if (p >= q) "qv faster" else "qv slower", if (p >= q) p / q else q / p,
              if (agree) "" else "   (RESULTS DIFFER)"))
}

x <- runif(1e7)
compare("qv_median(x), 10^7 doubles", function() qv_median(x), function() median(x), "median(x)")
compare("qv_pctl(x, 90), 10^7 doubles", function() qv_pctl(x, 90),
        function() quantile(x, 0.9, type = 2, names = FALSE), "quantile(x, 0.9, type = 2)")

v <- rnorm(1e6); g <- sample(1000L, 1e6, replace = TRUE)
same_groups <- function(a, b) isTRUE(all.equal(unname(a), as.vector(b)))
compare("qv_by(v, g, \"median\"), 10^6 rows, 1000 groups", function() qv_by(v, g, "median"),
        function() tapply(v, g, median), "tapply(v, g, median)", same_groups)
if (requireNamespace("data.table", quietly = TRUE)) {
  dt <- data.table::data.table(v = v, g = g)
  by_dt <- function() eval(quote(dt[, median(v), keyby = g]$V1), list(dt = dt), globalenv())
  compare("qv_by(v, g, \"median\"), 10^6 rows, 1000 groups", function() qv_by(v, g, "median"), by_dt,
          "data.table dt[, median(v), by = g]", same_groups)
}

m <- matrix(rnorm(1e7), ncol = 10); m[sample(length(m), 1e5)] <- NA
compare("qv_pmean(m), 10 columns of 10^6 rows", function() qv_pmean(m), function() rowMeans(m, na.rm = TRUE),
        "rowMeans(m, na.rm = TRUE)")
