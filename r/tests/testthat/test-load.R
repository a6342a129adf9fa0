# Loading a copy of the installed package whose function package is missing or damaged fails with
# the file it tried and what to do (in a child R process, with QV_LIB unset).

test_that("a missing or damaged lib/libqvewumth.so is named in the load error", {
  installed <- system.file("lib", "libqvewumth.so", package = "qvewumth")
  skip_if_not(nzchar(installed), "this build uses an installed host library's function package")
  cases <- list( # what is done to the copy's library, what the error says why
    list("removed", function(f) file.remove(f), "No such file"),
    list("cut short", function(f) writeBin(readBin(f, raw(), 200), f), "truncated|not a shared library"),
    list("not a library", function(f) writeLines("text", f), "not a shared library"))
  for (case in cases) {
    lib <- tempfile("lib")
    dir.create(lib)
    file.copy(dirname(dirname(installed)), lib, recursive = TRUE)
    tried <- file.path(normalizePath(lib), "qvewumth", "lib", "libqvewumth.so")
    case[[2]](tried)
    child <- run_child(c('Sys.unsetenv("QV_LIB")',
                         sprintf('r <- tryCatch({ library(qvewumth, lib.loc = "%s"); "loaded" }, error = conditionMessage)', lib),
                         "cat(r, sep = '\\n')"))
    out <- paste(child$output, collapse = "\n")
    expect_match(out, tried, fixed = TRUE, label = case[[1]])
    expect_match(out, case[[3]], label = case[[1]])
    expect_match(out, "reinstall qvewumth", fixed = TRUE, label = case[[1]])
    unlink(lib, recursive = TRUE)
  }
})

# QV_LIB names the function package to open, whether or not the installed package carries its own.
test_that("QV_LIB is the function package opened", {
  installed <- system.file("lib", "libqvewumth.so", package = "qvewumth")
  elsewhere <- file.path(tempfile("qvlib"), "libqvewumth.so")
  dir.create(dirname(elsewhere))
  if (nzchar(installed)) file.copy(installed, elsewhere)
  on.exit(unlink(dirname(elsewhere), recursive = TRUE))
  missing <- file.path(dirname(elsewhere), "none", "libqvewumth.so")
  cases <- list( # QV_LIB, what the child prints
    list(missing, c(missing, "QV_LIB names that file")),
    list(elsewhere, "median 2"))
  for (case in cases) {
    if (identical(case[[1]], elsewhere) && !file.exists(elsewhere)) next # no package file of its own to copy
    child <- run_child(c(sprintf('Sys.setenv(QV_LIB = "%s")', case[[1]]),
                         'r <- tryCatch({ library(qvewumth); paste("median", qv_median(c(3, 1, 2))) }, error = conditionMessage)',
                         "cat(r, sep = '\\n')"))
    out <- paste(child$output, collapse = "\n")
    for (want in case[[2]]) expect_match(out, want, fixed = TRUE, label = case[[1]])
  }
})
