# Every function of the catalogue, through R, against the host library's own call.

test_that("elementwise functions recycle their arguments and equal one host call per element", {
  set.seed(1)
  for (f in split(catalogue[catalogue$shape == "elementwise", ], seq_len(sum(catalogue$shape == "elementwise")))) {
    for (chr in unique(c(FALSE, f$first_kind == 3L))) {
      lens <- c(60, 20, 1)[seq_len(f$max_args)]
      args <- lapply(lens, function(n) if (chr) strings(n) else values(n))
      got <- suppressWarnings(do.call(fn(f$rname), args))
      st <- qv_status()
      want <- lapply(seq_len(60), function(i) reference(f$name, lapply(args, function(a) a[(i - 1) %% length(a) + 1])))
      expect_bits(got, vapply(want, function(w) as_r(w[[1]]), 0), f$rname)
      expect_identical(st$status, vapply(want, `[[`, "", 2), label = f$rname)
      argnames <- names(formals(fn(f$rname)))
      expect_identical(st$marked, vapply(want, function(w) paste(argnames[w[[3]]], collapse = ", "), ""),
                       label = f$rname)
    }
  }
})

test_that("statistics reduce a vector, once for each parameter, and their row-wise forms go row by row", {
  set.seed(2)
  for (f in split(catalogue[catalogue$shape == "list", ], seq_len(sum(catalogue$shape == "list")))) {
    chr <- f$rest_kind == 2L
    x <- if (chr) strings(30) else values(30)
    p <- if (nzchar(f$params)) params(f$params, x)
    got <- suppressWarnings(if (is.null(p)) fn(f$rname)(x) else fn(f$rname)(x, p))
    st <- qv_status()
    want <- lapply(if (is.null(p)) list(NULL) else as.list(p), function(pi) reference(f$name, as.list(c(pi, present(f$name, x)))))
    expect_bits(got, vapply(want, function(w) as_r(w[[1]]), if (f$result_kind == 2L) "" else 0), f$rname)
    expect_identical(st$status, vapply(want, `[[`, "", 2), label = f$rname)
    expect_identical(st$marked, vapply(want, function(w) paste(c(param_names(f), sprintf("x[%d]", seq_along(x)))[w[[3]]],
                                                               collapse = ", "), ""), label = f$rname)

    # Row-wise: a data frame of three columns and a fourth vector, the parameter recycled per row.
    cols <- data.frame(a = x[1:24], b = rev(x[1:24]), c = x[7:30], stringsAsFactors = FALSE)
    d <- if (chr) strings(24) else values(24)
    pname <- sub("^qv_", "qv_p", f$rname)
    prow <- if (!is.null(p)) setNames(list(rep_len(p, 24)), f$params)
    got <- suppressWarnings(do.call(fn(pname), c(list(cols, d), prow)))
    want <- lapply(1:24, function(i) reference(f$name, as.list(c(prow[[1]][i],
                                                                 present(f$name, c(unlist(cols[i, ]), d[i]))))))
    expect_bits(got, vapply(want, function(w) as_r(w[[1]]), if (f$result_kind == 2L) "" else 0), pname)
    st <- qv_status()
    expect_identical(st$status, vapply(want, `[[`, "", 2), label = pname)
    cols_named <- c(param_names(f), sprintf("column '%s' of argument 1", names(cols)), "argument 2")
    expect_identical(st$marked, vapply(want, function(w) paste(cols_named[w[[3]]], collapse = ", "), ""),
                     label = pname)
  }
})

test_that("integer and logical vectors convert, and elementwise results keep names and dimensions", {
  m <- matrix(c(-1.5, 2, NA, 4), 2, dimnames = list(c("a", "b"), NULL))
  cases <- list(
    list(qv_abs(c(-1L, NA, 3L)), qv_abs(c(-1, NA, 3))),
    list(qv_pmean(TRUE, 2L, c(NA, 1L)), qv_pmean(c(1, 1), c(2, 2), c(NA, 1))),
    list(qv_median(c(TRUE, FALSE, NA)), qv_median(c(1, 0, NA))),
    list(dimnames(qv_abs(m)), dimnames(m)),
    list(names(qv_round(c(a = 1.26, b = 2), 0.1)), c("a", "b")),
    list(qv_pmean(m), c(qv_mean(m[1, ]), qv_mean(m[2, ]))),
    list(qv_sum(numeric(0)), as_r(reference("SUM", numeric(0))[[1]])),
    list(qv_atan2(numeric(0), 1), numeric(0)))
  for (i in seq_along(cases)) expect_bits(cases[[i]][[1]], cases[[i]][[2]], paste("case", i))
})

test_that("the 28 missing values go into R doubles and come out as they were", {
  m <- qv_missing(c(".", "_", paste0(".", LETTERS)))
  expect_identical(qv_missing_letter(m), c(".", "_", LETTERS))
  expect_bits(qv_missing(tolower(LETTERS)), m[-(1:2)], "lower case letters")
  expect_bits(m[1], NA_real_, "'.' is NA_real_")
  expect_true(all(is.na(m)))
  expect_identical(c(qv_n(m), qv_nmiss(m)), c(0, 28))
  expect_identical(qv_missing_letter(c(NA, NaN, 1, NA_integer_)), c(".", ".", NA, "."))
  expect_bits(qv_as_number(c("2.5", "", ".M", "-inf", "nan", "._", NA)),
              c(2.5, NA, m[15], -Inf, NA, m[2], NA), "qv_as_number")
})

test_that("a statistic's kept call gives the host library's bits whatever came before it", {
  set.seed(8)
  old <- options(qvewumth.warm_values = NULL)
  on.exit(options(old))
  for (warm in list(NULL, 0, 100)) {
    options(qvewumth.warm_values = warm)
    for (n in c(1e5, 7, 3000, 0, 7)) {
      x <- values(n)
      expect_bits(suppressWarnings(qv_median(x)), as_r(reference("MEDIAN", x)[[1]]), sprintf("median of %d", n))
      expect_bits(suppressWarnings(qv_pctl(x, 90)), as_r(reference("PCTL", c(90, x))[[1]]), sprintf("pctl of %d", n))
    }
  }
})
