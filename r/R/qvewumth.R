# The package's own functions: loading, statuses and missing values. The functions of the
# catalogue (qv_median, qv_pmean, qv_round, ...) are made from it when the package is installed,
# in R/functions.R.

.onLoad <- function(libname, pkgname) {
  path <- .qv_package_file(libname, pkgname)
  why <- .Call(C_qv_open, path)
  if (!is.null(why)) stop(.qv_load_failure(why, path, pkgname), call. = FALSE)
  # Once R is back at the prompt, the memory kept for repeated calls shrinks to its small budget.
  addTaskCallback(function(...) {
    .Call(C_qv_idle)
    TRUE
  }, name = "qvewumth")
}

# The function package to open: $QV_LIB when it is set, else the lib/libqvewumth.so of the installed
# package when this build carries it; NULL leaves the choice to the host library (an installed host
# library opens the libqvewumth.so beside itself).
.qv_package_file <- function(libname, pkgname) {
  env <- Sys.getenv("QV_LIB")
  if (nzchar(env)) return(env)
  if (!.Call(C_qv_carries_package)) return(NULL)
  found <- system.file("lib", "libqvewumth.so", package = pkgname, lib.loc = libname)
  if (nzchar(found)) found else file.path(libname, pkgname, "lib", "libqvewumth.so")
}

# The load error: the file tried, why it failed, and what to do.
.qv_load_failure <- function(why, path, pkgname) {
  if (!is.null(path) && !grepl(path, why, fixed = TRUE)) why <- paste0(path, ": ", why)
  todo <- if (nzchar(Sys.getenv("QV_LIB"))) {
    "QV_LIB names that file: set it to a libqvewumth.so of this version, or unset it to use the package's own"
  } else if (!is.null(path)) {
    sprintf("That file is part of the installed package: reinstall %s (install.packages() or R CMD INSTALL)", pkgname)
  } else {
    "The host library opens the libqvewumth.so beside itself: reinstall the host library, or set QV_LIB to the file"
  }
  sprintf("%s: the function package could not be opened: %s.\n%s", pkgname, why, todo)
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

# The innermost call of one of the package's qv_ functions on the stack (NULL when there is none):
# the call its errors are raised from, whichever internal function found the fault.
.qv_user_call <- function() {
  for (cl in rev(sys.calls())) {
    fn <- cl[[1L]]
    if (is.call(fn) && length(fn) == 3L && as.character(fn[[1L]]) %in% c("::", ":::")) fn <- fn[[3L]]
    if (is.name(fn) && startsWith(as.character(fn), "qv_")) return(cl)
  }
  NULL
}

# An error raised from the user's call of the package's function.
.qv_stop <- function(...) stop(simpleError(paste0(...), .qv_user_call()))

# Gives back the memory the statistics keep between calls; returns, invisibly, the values it held.
qv_release_memory <- function() invisible(.Call(C_qv_release_memory))
