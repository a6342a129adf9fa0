# Unloading the package while R still holds its objects, then collecting garbage, must not crash,
# and the package must work again after a reload.

test_that("call, unload, gc(), reload and call again exits cleanly", {
  unloads <- c(detach = 'detach("package:qvewumth", unload = TRUE)',
               namespace = 'unloadNamespace("qvewumth")')
  for (how in names(unloads)) {
    child <- run_child(c(
      "library(qvewumth)",
      "stopifnot(qv_median(c(3, 1, 2)) == 2, qv_by(1:4, c(1, 1, 2, 2), 'median')[[2]] == 3.5)",
      "invisible(qv_moving(1:5, 2, 'max')); invisible(qv_pmean(1:3, 4:6))",
      "invisible(try(qv_log('a'), silent = TRUE))",
      unloads[[how]], "invisible(gc()); invisible(gc())",
      "library(qvewumth)",
      "stopifnot(qv_median(c(5, 1, 2)) == 2)",
      unloads[[how]], "invisible(gc())",
      "cat('done\\n')"))
    expect_identical(child$status, 0L, label = paste(how, paste(child$output, collapse = "\n")))
    expect_identical(tail(child$output, 1), "done", label = how)
  }
})
