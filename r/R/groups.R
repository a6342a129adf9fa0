# Statistics of groups (qv_by) and of moving windows (qv_moving).

# The catalogue name of a statistic given by name ("median", "MEDIAN", "qv_median") or as one of
# the package's functions (qv_median).
.qv_statistic <- function(fun, caller) {
  if (is.function(fun)) {
    ns <- environment(.qv_statistic)
    stats <- .qv_catalogue[.qv_catalogue$shape == "list", ]
    hit <- vapply(stats$rname, function(n) identical(fun, get(n, envir = ns)), NA)
    if (!any(hit)) {
      .qv_stop(caller, ": argument fun must be one of the package's statistics, as qv_median or \"median\" is, ",
           "not another function")
    }
    return(stats$name[hit][1L])
  }
  if (!is.character(fun) || length(fun) != 1L || is.na(fun)) {
    .qv_stop(caller, ": argument fun must name a statistic, as \"median\" does")
  }
  sub("^qv_", "", fun, ignore.case = TRUE)
}

.qv_param <- function(param) if (is.null(param)) list() else list(param)

# The groups of n rows by one key or several (a list or a data frame of keys, as tapply takes):
# a group number for every row (NA when a key is NA), every combination of the keys' levels a group.
.qv_groups <- function(g, n, caller) {
  keys <- if (is.list(g)) g else list(g)
  if (!length(keys)) .qv_stop(caller, ": argument g holds no keys")
  for (i in seq_along(keys)) {
    if (length(keys[[i]]) != n) {
      .qv_stop(caller, ": ", if (is.list(g)) sprintf("key %d of argument g", i) else "argument g",
           " must be as long as x (", n, "), not ", length(keys[[i]]))
    }
  }
  fs <- lapply(keys, .qv_key_codes)
  dims <- vapply(fs, function(f) length(f$levels), 0L, USE.NAMES = FALSE)
  if (prod(dims) > .Machine$integer.max) {
    .qv_stop(caller, ": the keys of argument g make more than ", .Machine$integer.max, " combinations")
  }
  code <- fs[[1L]]$code
  step <- dims[1L]
  for (f in fs[-1L]) {
    code <- code + (f$code - 1L) * step
    step <- step * length(f$levels)
  }
  list(code = code, cells = as.integer(prod(dims)), dim = dims, levels = lapply(fs, `[[`, "levels"),
       keys = keys, several = length(keys) > 1L)
}

# A key's group numbers (1, 2, ... NA for NA) and levels, as as.factor() gives them, without making
# the factor where that is slow: a factor's own codes; an integer key's distinct values counted in C
# when they span little more than the rows; a plain double key's sorted distinct values matched
# (as.factor() would first turn every value into text); a character key's distinct values sorted
# and matched (as.factor() sorts every one in the locale from scratch). Anything else, and a double key whose
# distinct values print alike or hold NaN (a level of their own in a factor), goes through as.factor().
.qv_key_codes <- function(k) {
  if (is.integer(k) && !is.object(k)) {
    r <- .Call(C_qv_int_codes, k, max(2 * length(k), 65536))
    if (!is.null(r)) return(list(code = r[[1L]], levels = as.character(r[[2L]])))
  } else if (is.double(k) && !is.object(k) && !any(is.nan(k))) {
    u <- sort(unique(k))
    levels <- as.character(u)
    if (!anyDuplicated(levels)) return(list(code = match(k, u), levels = levels))
  } else if (is.character(k) && !is.object(k)) {
    # The distinct values in the locale's order, as as.factor() sorts them; ordered by their bytes
    # first (a radix sort, cheap), most of the locale's comparisons find them in place already.
    levels <- sort(sort(unique(k), method = "radix"))
    return(list(code = match(k, levels), levels = levels))
  }
  f <- as.factor(k)
  list(code = as.integer(f), levels = levels(f))
}

# One key gives a vector named by its levels; several an array with a cell for every combination,
# as tapply gives.
.qv_shape <- function(r, groups) {
  if (!groups$several) return(structure(r, names = groups$levels[[1L]]))
  array(r, groups$dim, dimnames = structure(groups$levels, names = names(groups$keys)))
}

qv_by <- function(x, g, fun, param = NULL, na.rm = TRUE) {
  fun <- .qv_statistic(fun, "qv_by")
  .qv_flag(na.rm, "qv_by", "na.rm")
  groups <- .qv_groups(g, NROW(x), "qv_by")
  if (is.data.frame(x)) return(.qv_by_frame(x, groups, fun, param, na.rm))
  r <- .Call(C_qv_by, fun, x, groups$code, groups$cells, .qv_param(param))
  if (!na.rm) r[tabulate(groups$code[is.na(x)], groups$cells) > 0L] <- NA
  .qv_shape(r, groups)
}

# A data frame by one key: a row per level. By several: aggregate()'s form, the keys' columns then
# the statistic of each column, a row for every combination that holds rows.
.qv_by_frame <- function(x, groups, fun, param, na.rm) {
  cols <- lapply(x, function(col) {
    r <- .Call(C_qv_by, fun, col, groups$code, groups$cells, .qv_param(param))
    if (!na.rm) r[tabulate(groups$code[is.na(col)], groups$cells) > 0L] <- NA
    r
  })
  if (!groups$several) return(as.data.frame(cols, row.names = groups$levels[[1L]], optional = TRUE))
  present <- which(tabulate(groups$code, groups$cells) > 0L)
  first <- match(present, groups$code) # a row of each combination: its keys as they were given
  keys <- lapply(groups$keys, function(k) k[first])
  nm <- names(keys)
  if (is.null(nm)) nm <- rep("", length(keys))
  names(keys) <- ifelse(nzchar(nm), nm, paste0("Group.", seq_along(keys)))
  out <- cbind(as.data.frame(keys, optional = TRUE, stringsAsFactors = FALSE),
               as.data.frame(lapply(cols, `[`, present), optional = TRUE))
  rownames(out) <- NULL
  out
}

qv_moving <- function(x, k, fun, param = NULL, na.rm = TRUE, align = "right") {
  fun <- .qv_statistic(fun, "qv_moving")
  .qv_flag(na.rm, "qv_moving", "na.rm")
  if (toupper(fun) == "ORDINAL" && na.rm && anyNA(x)) { # the window engine ranks missing values first
    .qv_stop("qv_moving: \"ordinal\" cannot leave the missing values of a window out (na.rm = TRUE); ",
             "give na.rm = FALSE (a window that holds one is NA), or leave them out of x first")
  }
  r <- .Call(C_qv_moving, fun, x, k, .qv_param(param), align)
  if (!na.rm) { # a window that holds a missing value is NA
    n <- length(x)
    before <- if (align == "right") k - 1 else (k - 1) %/% 2
    after <- if (align == "right") 0 else k %/% 2
    seen <- c(0L, cumsum(is.na(x)))
    i <- seq_len(n)
    r[seen[pmin(n, i + after) + 1] - seen[pmax(1, i - before)] > 0L] <- NA
  }
  names(r) <- names(x)
  if (inherits(x, "ts")) { # a time series stays one, as arithmetic on it keeps it
    attr(r, "tsp") <- attr(x, "tsp")
    class(r) <- class(x)
  }
  r
}
