# The memory kept for repeated calls: what qv_release_memory() finds kept after each step, in a child
# R process whose top-level calls each end as they do at the prompt (the budget shrinks then).

test_that("kept memory follows the budgets while R runs a call and once it has returned", {
  cases <- list( # expression, then the values qv_release_memory() gives back after it
    list("invisible(qv_median(runif(2e6)))", 0),               # over the budget between calls
    list("invisible(qv_median(runif(1000)))", 1000),           # within it
    list("{ invisible(qv_median(runif(2e6))); kept <- qv_release_memory() }", 2e6, "kept"),
    list("{ options(qvewumth.busy_values = 3000); invisible(qv_median(runif(2000)));
            invisible(qv_mean(runif(1500))); kept <- qv_release_memory(); options(qvewumth.busy_values = NULL) }",
         1500, "kept"),                                        # the call used longest ago emptied
    list("{ invisible(qv_by(runif(5000), rep(1:5, 1000), 'max')); kept <- qv_release_memory() }", 5000, "kept"),
    list("options(qvewumth.warm_values = 0); invisible(qv_median(1:10))", 0))
  code <- "library(qvewumth)"
  for (case in cases) {
    code <- c(code, case[[1]],
              if (length(case) > 2) "cat('kept', kept, '\\n')" else "cat('kept', qv_release_memory(), '\\n')")
  }
  child <- run_child(code)
  expect_identical(child$status, 0L, label = paste(child$output, collapse = "\n"))
  kept <- as.numeric(sub("kept ", "", grep("^kept ", child$output, value = TRUE)))
  expect_equal(kept, vapply(cases, `[[`, 0, 2))
})
