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

test_that("column forms equal one call per column of a matrix or data frame, named by the columns", {
  set.seed(12)
  short <- matrix(values(60), 20, dimnames = list(NULL, c("a", "b", "c")))
  long <- cbind(u = values(5000), v = sample(c(-1, 1), 5000, TRUE) * 2^runif(5000, -300, 300))
  frame <- data.frame(i = c(3L, NA, -7L, 2L), l = c(TRUE, NA, FALSE, TRUE), d = c(-0, 0, NaN, Inf))
  numeric_stats <- catalogue[catalogue$shape == "list" & catalogue$rest_kind != 2L & catalogue$first_kind != 2L, ]
  for (x in list(short, long, frame, unname(short))) {
    cols <- if (is.data.frame(x)) as.list(x) else lapply(seq_len(ncol(x)), function(j) x[, j])
    for (f in split(numeric_stats, seq_len(nrow(numeric_stats)))) {
      p <- if (nzchar(f$params)) params(f$params, cols[[1L]])[1:3]
      got <- suppressWarnings(if (is.null(p)) fn(sub("^qv_", "qv_col", f$rname))(x)
                              else fn(sub("^qv_", "qv_col", f$rname))(x, p))
      want <- vapply(cols, function(col) vapply(if (is.null(p)) list(NULL) else as.list(p), function(pk)
        as_r(reference(f$name, as.list(c(pk, present(f$name, as.double(col)))))[[1L]]), 0),
        if (is.null(p)) 0 else numeric(3))
      expect_bits(as.vector(t(got)), as.vector(want), paste(f$rname, "by column"))
      expect_identical(if (is.null(p)) names(got) else rownames(got), colnames(x), label = f$rname)
    }
  }
})

test_that("character column forms equal one call per column, the call kept from before included", {
  set.seed(14)
  x <- data.frame(a = strings(9), b = strings(9), c = rev(strings(9)), stringsAsFactors = FALSE)
  for (f in split(catalogue[catalogue$shape == "list" & catalogue$rest_kind == 2L, ],
                  seq_len(sum(catalogue$shape == "list" & catalogue$rest_kind == 2L)))) {
    p <- if (nzchar(f$params)) x$a[2]
    for (form in list(x, as.matrix(x))) {
      got <- suppressWarnings(if (is.null(p)) fn(sub("^qv_", "qv_col", f$rname))(form)
                              else fn(sub("^qv_", "qv_col", f$rname))(form, p))
      want <- vapply(x, function(col) as_r(reference(f$name, as.list(c(p, col)))[[1L]]),
                     if (f$result_kind == 2L) "" else 0)
      expect_bits(got, want, paste(f$rname, "by column"))
    }
  }
})

test_that("column forms give base R's answers", {
  set.seed(13)
  m <- matrix(round(rnorm(6000), 2), 1000, dimnames = list(NULL, paste0("c", 1:6)))
  m[sample(length(m), 50)] <- NA
  cases <- list(
    list(qv_colmean(m), colMeans(m, na.rm = TRUE)),
    list(qv_colsum(m, na.rm = FALSE), colSums(m)),
    list(qv_colmax(m), apply(m, 2, max, na.rm = TRUE)),
    list(qv_colmedian(as.data.frame(m)), apply(m, 2, median, na.rm = TRUE)),
    list(qv_colpctl(m, c(10, 50)), t(apply(m, 2, quantile, c(0.1, 0.5), type = 2, na.rm = TRUE))),
    list(qv_coln(m[, 1:2]), colSums(!is.na(m[, 1:2]))))
  for (i in seq_along(cases)) {
    expect_equal(cases[[i]][[1]], cases[[i]][[2]], tolerance = 1e-14, label = paste("case", i))
  }
  expect_error(qv_colmean(1:3), "qv_colmean: argument x must be a matrix or a data frame", fixed = TRUE)
  expect_error(qv_colmean(iris), "qv_colmean: column 'Species' of argument x must be numeric, not a factor",
               fixed = TRUE)
})

test_that("elementwise calls over many chunks give what calls of one chunk each give, statuses and warning included", {
  set.seed(12)
  n <- 2 * 8192 + 5
  ok <- runif(n, 0.5, 2)
  cases <- list(
    "ok until a late NA" = replace(ok, n - 2, NA),
    "invalid at both ends" = replace(ok, c(1, n), -1),
    "invalid first in the second chunk" = replace(ok, 8193, 0),
    "all NA" = rep(NA_real_, n),
    "mixed" = sample(c(-1, 0, NA, NaN, qv_missing("A"), 1, 2.5), n, TRUE))
  for (d in names(cases)) {
    x <- cases[[d]]
    warned <- NULL
    got <- withCallingHandlers(qv_log(x), warning = function(w) {
      warned <<- conditionMessage(w)
      invokeRestart("muffleWarning")
    })
    st <- qv_status()$status
    pieces <- split(seq_len(n), (seq_len(n) - 1L) %/% 1000L)
    want <- unlist(lapply(pieces, function(i) suppressWarnings(qv_log(x[i]))), use.names = FALSE)
    want_st <- unlist(lapply(pieces, function(i) { suppressWarnings(qv_log(x[i])); qv_status()$status }), use.names = FALSE)
    expect_bits(got, want, d)
    expect_identical(st, want_st, label = d)
    invalid <- sum(want_st == "invalid argument")
    expect_identical(warned, if (invalid > 0) sprintf("qv_log: %d of %d rows gave invalid argument", invalid, n), label = d)
  }
})
