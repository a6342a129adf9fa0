# A long call stops on Ctrl-C and on a time limit, frees what it made, and R goes on.

test_that("Ctrl-C and setTimeLimit stop a long moving statistic and a long list of percentiles", {
  skip_on_os("windows")
  # Minutes unless stopped: one call per window; and percentiles that read a zero where both zeros
  # are present, each one call over all the values, whose argument list is laid out again each
  # time (an NA among them).
  long_calls <- c("qv_moving(runif(1e6), 1e5, 'mean')",
                  "qv_pctl(rep(c(0, -0, NA), 4e6), seq(1, 99, length.out = 2000))")
  cases <- list(
    list(how = "SIGINT", signal = TRUE, catch = "interrupt = function(e) 'interrupted'", want = "interrupted"),
    list(how = "setTimeLimit", signal = FALSE, catch = "error = function(e) conditionMessage(e)",
         want = "reached elapsed time limit"))
  for (long_call in long_calls) for (case in cases) {
    pidfile <- tempfile()
    out <- tempfile()
    script <- tempfile(fileext = ".R")
    writeLines(c(
      "library(qvewumth)",
      sprintf("writeLines(as.character(Sys.getpid()), '%s')", pidfile),
      if (!case$signal) "setTimeLimit(elapsed = 1)",
      sprintf("r <- tryCatch(%s, %s)", long_call, case$catch),
      "setTimeLimit()",
      "stopifnot(qv_median(c(3, 1, 2)) == 2)",
      "cat(r[1], '\\n')"), script)
    system2(file.path(R.home("bin"), "Rscript"), c("--vanilla", shQuote(script)), stdout = out, stderr = out,
            wait = FALSE, env = paste0("R_LIBS=", paste(.libPaths(), collapse = ":")))
    started <- Sys.time()
    while (!file.exists(pidfile) && Sys.time() - started < 30) Sys.sleep(0.1)
    Sys.sleep(1)
    if (case$signal) tools::pskill(as.integer(readLines(pidfile)), tools::SIGINT)
    asked <- Sys.time()
    while (!any(grepl(case$want, readLines(out), fixed = TRUE)) && Sys.time() - asked < 20) Sys.sleep(0.1)
    expect_true(any(grepl(case$want, readLines(out), fixed = TRUE)),
                label = paste(long_call, case$how, paste(readLines(out), collapse = "\n")))
    tools::pskill(as.integer(readLines(pidfile)), tools::SIGKILL) # in case it did not stop
  }
})
