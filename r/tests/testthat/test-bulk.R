# The bulk paths: a folding statistic over a long vector (a chunk at a time, or by region for
# integer, logical and ALTREP vectors) and several percentiles from one ordering, each against one
# plain call of the host library over all the values.

# Long vectors of every kind the bulk paths read differently: more than one 4096-value chunk.
bulk_data <- function() {
  set.seed(11)
  n <- 3 * 4096 + 17
  binades <- sample(c(-1, 1), n, TRUE) * 2^runif(n, -300, 300)
  list(
    edges = values(n),
    binades = binades,
    "binades, NA late" = replace(binades, n - 3, NA),
    zeros = sample(c(0, -0, 0, -0, 1, -1, NA), n, TRUE),
    "one chunk" = values(4096),
    "one value" = -0,
    none = numeric(0),
    integers = sample(c(-5:5, NA, .Machine$integer.max), n, TRUE),
    logicals = sample(c(TRUE, FALSE, NA), n, TRUE),
    "ALTREP integers" = 1:(2 * n),
    "ALTREP doubles" = (2^31):(2^31 + n))
}

test_that("n, nmiss, sum, mean, min, max and range of long vectors equal one call over them", {
  for (d in names(bulk_data())) {
    x <- bulk_data()[[d]]
    for (name in c("N", "NMISS", "SUM", "MEAN", "MIN", "MAX", "RANGE")) {
      got <- suppressWarnings(fn(paste0("qv_", tolower(name)))(x))
      want <- reference(name, as.double(x))
      expect_bits(got, as_r(want[[1]]), paste(name, d))
      expect_identical(qv_status()$status, want[[2]], label = paste(name, d))
      kept <- suppressWarnings(fn(paste0("qv_", tolower(name)))(x, na.rm = FALSE))
      expect_bits(kept, if (anyNA(x)) NA_real_ else got, paste(name, d, "na.rm = FALSE"))
    }
  }
})

test_that("several percentiles of a long vector equal one call per percentile", {
  p <- c(0, 1, 12.5, 50, 50, 90, 99.9, 100, NA, -1, 100.5)
  for (d in names(bulk_data())) {
    x <- bulk_data()[[d]]
    for (name in c("PCTL", "PCTL1", "PCTL2", "PCTL3", "PCTL4", "PCTL5")) {
      got <- suppressWarnings(fn(paste0("qv_", tolower(name)))(x, p))
      st <- qv_status()
      want <- lapply(p, function(pk) reference(name, as.list(c(pk, as.double(x)))))
      expect_bits(unname(got), vapply(want, function(w) as_r(w[[1]]), 0), paste(name, d))
      expect_identical(st$status, vapply(want, `[[`, "", 2), label = paste(name, d))
      expect_identical(st$marked, ifelse(vapply(want, function(w) 1L %in% w[[3]], NA), "p", ""),
                       label = paste(name, d))
    }
  }
})

test_that("a vector longer than one call can take is refused before anything is read", {
  expect_error(qv_sum(1:3e9), "qv_sum: argument x holds 3000000000 values; a statistic takes at most 2147483647",
               fixed = TRUE)
  expect_error(qv_pctl(1:3e9, 50), "qv_pctl: argument x holds 3000000000 values", fixed = TRUE)
})
