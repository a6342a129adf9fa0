# The package's own functions: loading, statuses and missing values. The functions of the
# catalogue (qv_median, qv_pmean, qv_round, ...) are made from it when the package is installed,
# in R/functions.R.

.onLoad <- function(libname, pkgname) {
  # The host library finds the function package by itself ($QV_LIB, or beside the host library).
  .Call(C_qv_open, NULL)
  # Once R is back at the prompt, the memory kept for repeated calls shrinks to its small budget.
  addTaskCallback(function(...) {
    .Call(C_qv_idle)
    TRUE
  }, name = "qvewumth")
}

.onUnload <- function(libpath) {
  removeTaskCallback("qvewumth")
  library.dynam.unload("qvewumth", libpath)
}

qv_status <- function() {
  s <- .Call(C_qv_last_status)
  data.frame(status = s[[1L]], marked = s[[2L]], stringsAsFactors = FALSE)
}

qv_missing <- function(letter) .Call(C_qv_missing, letter)

qv_missing_letter <- function(x) .Call(C_qv_missing_letter, x)

qv_as_number <- function(x) {
  if (is.numeric(x) && !is.factor(x)) return(as.double(x))
  .Call(C_qv_as_number, x)
}

# The host library's own answer to one call, for the tests: args is a list of single numbers or
# strings (one call) or a numeric vector (the list of a statistic).
.qv_reference <- function(fun, args) .Call(C_qv_reference, fun, args)

# For the tests: the package's memory from an allocator that refuses blocks of at least bytes
# bytes (0: the C library's again).
.qv_refuse_memory <- function(bytes) invisible(.Call(C_qv_refuse_memory, bytes))

# A call stopped by Ctrl-C: R's own interrupt, raised again once the call has freed what it made.
# Handlers of "interrupt" see it; without one, R goes back to the top level as after any Ctrl-C.
.qv_interrupted <- function() {
  signalCondition(structure(class = c("interrupt", "condition"), list(message = "", call = NULL)))
  invokeRestart("abort")
}

# Gives back the memory the statistics keep between calls; returns, invisibly, the values it held.
qv_release_memory <- function() invisible(.Call(C_qv_release_memory))
