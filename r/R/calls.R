# The calls behind the functions made from the catalogue (R/functions.R): statistics of a vector
# and row-wise forms, with na.rm, percentile names and dates as R's own functions have them.

# One TRUE or FALSE, or an error naming the function and the argument.
.qv_flag <- function(value, caller, arg) {
  if (!is.logical(value) || length(value) != 1L || is.na(value)) {
    .qv_stop(caller, ": argument ", arg, " must be TRUE or FALSE")
  }
  value
}

# "Date" or "POSIXct" for dates and times, NULL for anything else.
.qv_time_class <- function(x) {
  if (inherits(x, "Date")) "Date" else if (inherits(x, "POSIXct")) "POSIXct" else NULL
}

# quantile()'s names for percentiles given in percent: "10%", "2.5%", "" for NA; from 100 of them on
# formatted together ("0.00%", "0.37%"), as quantile() formats them.
.qv_percent_names <- function(p) {
  if (!length(p)) return(character())
  digits <- max(2L, getOption("digits"))
  nm <- paste0(if (length(p) < 100L) formatC(p, format = "fg", width = 1L, digits = digits)
               else format(p, trim = TRUE, digits = digits), "%")
  nm[is.na(p)] <- ""
  nm
}

# A statistic over x, once for each value of its parameter. dates says what becomes of dates and
# times: "keep" their class (median() keeps it), "plain" numbers, or "refuse" them.
.qv_reduce <- function(name, label, x, params, na.rm, dates) {
  .qv_flag(na.rm, label, "na.rm")
  time <- .qv_time_class(x)
  if (!is.null(time) && dates == "refuse") {
    .qv_stop(label, ": argument x holds ", if (time == "Date") "dates" else "times",
         ", which this statistic does not take (the order statistics, the mean, n and nmiss do)")
  }
  r <- .Call(C_qv_reduce, name, label, x, params, na.rm)
  if (!is.null(params$p) && is.numeric(params$p)) names(r) <- .qv_percent_names(params$p)
  if (!is.null(time) && dates == "keep") {
    r <- if (time == "Date") structure(r, class = "Date") else .POSIXct(r, attr(x, "tzone"))
  }
  r
}

# The names of the rows of a row-wise result, as R's own row-wise functions give them: a data
# frame's row names unless they are automatic and a matrix's row names (as rowMeans() gives them),
# a vector's names when it is as long as the result (as pmax() gives the first argument's).
.qv_row_names <- function(first, n) {
  nm <- if (is.data.frame(first)) { if (.row_names_info(first) > 0L) row.names(first) }
        else if (is.matrix(first)) rownames(first)
        else names(first)
  if (length(nm) == n) nm
}

# The row-wise form: one call per row across the arguments after the nparams parameters. Dates and
# times follow dates as in .qv_reduce; a kept class is the first data argument's (or first column's),
# as pmin() and pmax() give theirs, and dates mixed with times are an error.
.qv_rows <- function(name, label, args, nparams, na.rm, dates = "plain") {
  .qv_flag(na.rm, label, "na.rm")
  data <- args[seq_along(args) > nparams]
  cols <- unlist(lapply(data, function(a) if (is.data.frame(a)) as.list(a) else list(a)), recursive = FALSE)
  time <- unique(unlist(lapply(cols, .qv_time_class)))
  if (length(time) > 1L) {
    .qv_stop(label, ": the arguments mix dates and times; convert one to the other (as.Date(), as.POSIXct())")
  }
  if (length(time) && dates == "refuse") {
    .qv_stop(label, ": the arguments hold ", if (time == "Date") "dates" else "times",
         ", which this statistic does not take (the order statistics, the mean, n and nmiss do)")
  }
  r <- .Call(C_qv_rows, name, label, args, nparams, na.rm)
  if (nparams >= 0L && length(data)) names(r) <- .qv_row_names(data[[1L]], length(r))
  first <- if (length(cols)) cols[[1L]]
  if (dates == "keep" && !is.null(.qv_time_class(first))) {
    r <- if (inherits(first, "Date")) structure(r, class = "Date") else .POSIXct(r, attr(first, "tzone"))
  }
  r
}

# The column form: one call per column of a matrix or data frame, as colMeans() and matrixStats'
# colMedians() go (a double matrix's columns read in place), the results named by the columns; with
# several values of the parameter, a matrix of one row per column and one column per value, as
# matrixStats' colQuantiles() gives. Dates and times follow dates as in .qv_reduce, but a kept
# class is dropped: the columns' results are plain numbers.
.qv_cols <- function(name, label, x, params, na.rm, dates) {
  .qv_flag(na.rm, label, "na.rm")
  if (!is.matrix(x) && !is.data.frame(x)) {
    .qv_stop(label, ": argument x must be a matrix or a data frame, not ",
             if (is.null(x)) "NULL" else paste("an object of class", class(x)[1L]),
             " (for one vector: ", sub("^qv_col", "qv_", label), ")")
  }
  cols <- if (is.data.frame(x)) as.list(x) else list(x)
  time <- unique(unlist(lapply(cols, .qv_time_class)))
  if (length(time) && dates == "refuse") {
    .qv_stop(label, ": argument x holds ", if (time[1L] == "Date") "dates" else "times",
             ", which this statistic does not take (the order statistics, the mean, n and nmiss do)")
  }
  r <- .Call(C_qv_cols, name, label, if (is.data.frame(x)) cols else x, params, na.rm)
  if (length(params) && length(params[[1L]]) != 1L) {
    p <- params[[1L]]
    return(matrix(r, ncol = length(p), byrow = TRUE,
                  dimnames = list(colnames(x), if (!is.null(params$p) && is.numeric(p)) .qv_percent_names(p))))
  }
  names(r) <- colnames(x)
  r
}
