# qv_by and qv_moving against one host call per group and per window, and the functions inside R's
# own grouping tools.

statistics <- catalogue[catalogue$aggregate != 0L, ]
param_of <- function(f) switch(f$params, p = 37.5, k = 3, NULL)

test_that("qv_by equals one call per group in the data's order, for every statistic", {
  set.seed(3)
  x <- values(400)
  g <- factor(sample(c("b", "a", "c", NA), 400, replace = TRUE), levels = c("c", "b", "a", "unused"))
  for (f in split(statistics, seq_len(nrow(statistics)))) {
    p <- param_of(f)
    got <- suppressWarnings(qv_by(x, g, tolower(f$name), p))
    want <- vapply(split(x, g), function(v) as_r(reference(f$name, c(p, present(f$name, v)))[[1]]), 0)
    expect_bits(got, want, paste("qv_by", f$name))
    expect_identical(names(got), levels(g))
    expect_identical(qv_status()$status,
                     unname(vapply(split(x, g), function(v) reference(f$name, c(p, present(f$name, v)))[[2]], "")))
  }
})

test_that("qv_moving equals one call per window, trailing and centred, the windows at the ends short", {
  set.seed(4)
  for (f in split(statistics, seq_len(nrow(statistics)))) {
    x <- present(f$name, values(80)) # the window engine ranks the missing values ORDINAL would leave out
    p <- param_of(f)
    for (k in c(1, 4, 7, 100)) {
      got <- suppressWarnings(qv_moving(x, k, f$name, p))
      ref <- lapply(seq_along(x), function(i) reference(f$name, c(p, x[max(1, i - k + 1):i])))
      expect_bits(got, vapply(ref, function(r) as_r(r[[1]]), 0), sprintf("qv_moving %s k = %d", f$name, k))
      expect_identical(qv_status()$status, vapply(ref, `[[`, "", 2), info = sprintf("qv_moving %s k = %d", f$name, k))
      got <- suppressWarnings(qv_moving(x, k, f$name, p, align = "center"))
      window <- function(i) x[max(1, i - (k - 1) %/% 2):min(length(x), i + k %/% 2)]
      want <- vapply(seq_along(x), function(i) as_r(reference(f$name, c(p, window(i)))[[1]]), 0)
      expect_bits(got, want, sprintf("qv_moving %s k = %d centred", f$name, k))
    }
  }
})

test_that("the functions work inside tapply, dplyr and data.table as qv_by does", {
  set.seed(5)
  d <- data.frame(x = values(300), g = sample(c("p", "q", "r"), 300, replace = TRUE))
  want <- suppressWarnings(qv_by(d$x, d$g, "pctl", 90))
  p90 <- function(v) qv_pctl(v, 90)
  suppressWarnings({
    expect_bits(as.vector(tapply(d$x, d$g, p90)), unname(want), "tapply")
    if (requireNamespace("dplyr", quietly = TRUE)) {
      s <- dplyr::summarise(dplyr::group_by(d, g), m = p90(x))
      expect_bits(s$m, unname(want), "dplyr")
    }
    if (requireNamespace("data.table", quietly = TRUE)) {
      # data.table's [ takes its own form only where data.table is known: in the global environment.
      e <- list2env(list(dt = data.table::as.data.table(d), p90 = p90), parent = globalenv())
      expect_bits(evalq(dt[, list(m = p90(x)), keyby = "g"]$m, e), unname(want), "data.table")
    }
  })
})

test_that("qv_by groups every kind of key as tapply does: its groups, their order and names", {
  set.seed(6)
  x <- round(rnorm(60), 2)
  h <- sample(c("u", "v"), 60, replace = TRUE)
  keys <- list( # one row per kind of key and way of grouping it
    "integer with NA and negatives" = sample(c(-3L, 7L, 0L, NA, 2L), 60, replace = TRUE),
    "integer spread wide" = sample(c(5L, -2e9L, 2e9L), 60, replace = TRUE),
    "double with NA, 0 and -0" = sample(c(2.5, -1, 0, -0, NA, 1e10), 60, replace = TRUE),
    "double that prints alike" = sample(c(0.3, 0.1 + 0.2, 7), 60, replace = TRUE),
    "double with NaN" = sample(c(1, NaN, NA, -4), 60, replace = TRUE),
    "factor with an unused level" = factor(sample(c("q", "p"), 60, replace = TRUE), levels = c("q", "z", "p")),
    "logical" = sample(c(TRUE, FALSE, NA), 60, replace = TRUE),
    "character" = sample(c("b", "B", "a10", "a9"), 60, replace = TRUE),
    "character with NA, blanks and accents" = sample(c("\u00e9", "e", "_", "", " a", "Z", NA), 60, replace = TRUE),
    "Date" = as.Date("2024-01-01") + sample(c(3, 1, 40), 60, replace = TRUE))
  for (what in names(keys)) {
    k <- keys[[what]]
    expect_equal(qv_by(x, k, "max"), c(tapply(x, k, max)), label = what)
    expect_equal(qv_by(x, list(k, h), "max"), tapply(x, list(k, h), max), label = what)
  }
})
