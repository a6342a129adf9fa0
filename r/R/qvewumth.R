# The package's own functions: groups, windows, statuses and missing values. The functions of the
# catalogue (qv_median, qv_pmean, qv_round, ...) are made from it when the package is installed,
# in R/functions.R.

.onLoad <- function(libname, pkgname) {
  # The host library finds the function package by itself ($QV_LIB, or beside the host library).
  .Call(C_qv_open, NULL)
}

.onUnload <- function(libpath) {
  library.dynam.unload("qvewumth", libpath)
}

# The catalogue name of a statistic given as "median", "MEDIAN" or "qv_median".
.qv_statistic <- function(fun, caller) {
  if (!is.character(fun) || length(fun) != 1L || is.na(fun)) {
    stop(caller, ": fun must name a statistic, as \"median\" does", call. = FALSE)
  }
  sub("^qv_", "", fun, ignore.case = TRUE)
}

.qv_param <- function(param) if (is.null(param)) list() else list(param)

qv_by <- function(x, g, fun, param = NULL) {
  if (is.data.frame(x)) {
    cols <- lapply(x, qv_by, g = g, fun = fun, param = param)
    return(as.data.frame(cols, row.names = names(cols[[1L]]), optional = TRUE))
  }
  f <- as.factor(g)
  r <- .Call(C_qv_by, .qv_statistic(fun, "qv_by"), x, as.integer(f), nlevels(f), .qv_param(param))
  names(r) <- levels(f)
  r
}

qv_moving <- function(x, k, fun, param = NULL) {
  r <- .Call(C_qv_moving, .qv_statistic(fun, "qv_moving"), x, k, .qv_param(param))
  names(r) <- names(x)
  r
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
