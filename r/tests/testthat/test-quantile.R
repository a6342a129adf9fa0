# PCTL1 to PCTL5 are R's quantile types 4, 3, 1, 6 and 2, their results named as quantile names them, wherever the fuzz of the percentile (n * p / 100
# within about 1e-13 * n of a whole or half rank) does not apply.

test_that("the percentile definitions agree with R's quantile types", {
  set.seed(6)
  defs <- list(list("pctl1", 4, 0), list("pctl2", 3, 0), list("pctl3", 1, 0), list("pctl4", 6, 1), list("pctl5", 2, 0))
  for (n in c(1, 2, 3, 10, 37, 200)) {
    x <- round(rnorm(n) * 100, 1)
    for (d in defs) {
      p <- seq(0, 100, by = 0.37)
      t <- (n + d[[3]]) * p / 100
      g <- t - floor(t)
      p <- p[pmin(g, abs(g - 0.5), 1 - g) > 1e-9 | p %in% c(0, 100)]
      got <- fn(paste0("qv_", d[[1]]))(x, p)
      want <- quantile(x, p / 100, type = d[[2]])
      if (d[[2]] %in% c(4, 6)) expect_equal(got, want, tolerance = 1e-12, label = d[[1]])
      else expect_identical(got, want, label = d[[1]])
    }
  }
})
