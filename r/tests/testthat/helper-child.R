# Runs R code in a child R process that sees this session's libraries; returns its exit status and
# output. For what must not take the test process down with it (unloading, signals).
run_child <- function(code, timeout = 60) {
  script <- tempfile(fileext = ".R")
  on.exit(unlink(script))
  writeLines(code, script)
  out <- suppressWarnings(system2(file.path(R.home("bin"), "Rscript"), c("--vanilla", shQuote(script)),
                                  stdout = TRUE, stderr = TRUE, timeout = timeout,
                                  env = paste0("R_LIBS=", paste(.libPaths(), collapse = ":"))))
  list(status = if (is.null(attr(out, "status"))) 0L else attr(out, "status"), output = out)
}
