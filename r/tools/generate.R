# Makes the R functions (R/functions.R) and their help pages (man/fn-*.Rd) from the host library's
# catalogue, which tools/catalogue wrote to tools/catalogue.R. Run by configure from the package's
# top directory.
#
# Shapes: a function of a fixed number of arguments (ABS, ATAN2, ROUND) is elementwise over vectors
# recycled like atan2; a function of a list of values (MEAN, PCTL, WHICHC) reduces a vector
# (qv_pctl(x, p)), and has a column form over a matrix or data frame (qv_colpctl(x, p)) and a
# row-wise twin across vectors or columns (qv_ppctl(..., p)).

sys.source("tools/catalogue.R", envir = environment(), keep.source = FALSE)
own <- local({
  e <- new.env()
  for (file in setdiff(Sys.glob("R/*.R"), "R/functions.R")) sys.source(file, envir = e)
  ls(e, pattern = "^qv_")
})

KIND_CHR <- 2L
ANY <- -1L

# The argument names of a usage line: "MOD(x, y [, fuzz])" gives x, y, fuzz.
usage_args <- function(usage) {
  inner <- sub("^[^(]*\\((.*)\\)$", "\\1", usage)
  args <- trimws(strsplit(gsub("[][]", "", inner), ",")[[1L]])
  args[nzchar(args)]
}

shape_of <- function(f) {
  args <- usage_args(f$usage)
  if (f$max_args != ANY) {
    return(list(kind = "elementwise", args = args, required = f$min_args))
  }
  # The arguments before the list (x1, s1) are parameters: PCTL's p, WHICHN's v.
  first_item <- grep("^[a-z]+1$", args)[1L]
  list(kind = "list", params = args[seq_len(first_item - 1L)])
}

# The R name: the catalogue's, unless one of the package's own functions has it (qv_missing makes
# missing values, so the test MISSING becomes qv_is_missing).
r_name <- function(f) if (f$rname %in% own) sub("^qv_", "qv_is_", f$rname) else f$rname

# The formal arguments of an elementwise function: the optional ones default to NULL.
formals_of <- function(s) {
  optional <- s$args[-seq_len(s$required)]
  c(s$args[seq_len(s$required)], if (length(optional)) paste(optional, "= NULL"))
}

# ---- R code ------------------------------------------------------------------------------------

rcode <- character()
names_used <- own
claim <- function(name) {
  if (name %in% names_used) stop("generate.R: the R name ", name, " is taken twice")
  names_used <<- c(names_used, name)
  name
}

# What a statistic does with dates and times (Date, POSIXct): "keep" gives its result their class,
# as median() and min() do, for the statistics whose result is one of the values or a point between
# them; "plain" gives a plain number (counts, positions); "refuse" is an error (a sum of dates has no
# meaning, and a spread of them is a time difference these functions do not make).
date_rule <- function(f) {
  if (f$name %in% c("COALESCE", "LARGEST", "MAX", "MEAN", "MEDIAN", "MIN", "ORDINAL", "SMALLEST") ||
      grepl("^PCTL[0-9]?$", f$name)) "keep"
  else if (f$name %in% c("N", "NMISS", "WHICHN")) "plain" else "refuse"
}

for (f in catalogue) {
  s <- shape_of(f)
  name <- claim(r_name(f))
  if (s$kind == "elementwise") {
    formals <- formals_of(s)
    rcode <- c(rcode, sprintf('%s <- function(%s) .Call(C_qv_rows, "%s", "%s", list(%s), -1L, TRUE)',
                              name, paste(formals, collapse = ", "), f$name, name,
                              paste(s$args, "=", s$args, collapse = ", ")))
  } else {
    p <- s$params
    params <- if (length(p)) sprintf("list(%s)", paste(p, "=", p, collapse = ", ")) else "list()"
    rcode <- c(rcode, sprintf('%s <- function(%s) .qv_reduce("%s", "%s", x, %s, na.rm, "%s")',
                              name, paste(c("x", p, "na.rm = TRUE"), collapse = ", "), f$name, name, params,
                              date_rule(f)))
    cname <- claim(sub("^qv_", "qv_col", name))
    rcode <- c(rcode, sprintf('%s <- function(%s) .qv_cols("%s", "%s", x, %s, na.rm, "%s")',
                              cname, paste(c("x", p, "na.rm = TRUE"), collapse = ", "), f$name, cname, params,
                              date_rule(f)))
    pname <- claim(sub("^qv_", "qv_p", name))
    rows <- if (length(p)) sprintf("c(%s, list(...))", params) else "list(...)"
    rcode <- c(rcode, sprintf('%s <- function(%s) .qv_rows("%s", "%s", %s, %dL, na.rm, "%s")',
                              pname, paste(c("...", p, "na.rm = TRUE"), collapse = ", "), f$name, pname, rows,
                              length(p), date_rule(f)))
  }
}
# The catalogue as the R functions see it, for the tests and for anyone who walks the functions.
table <- do.call(rbind, lapply(catalogue, function(f) {
  s <- shape_of(f)
  data.frame(name = f$name, rname = r_name(f), shape = s$kind,
             params = if (s$kind == "list") paste(s$params, collapse = ",") else "",
             min_args = f$min_args, max_args = f$max_args, first_kind = f$first_kind, rest_kind = f$rest_kind,
             result_kind = f$result_kind, aggregate = f$aggregate)
}))
writeLines(c("# Made by tools/generate.R from the host library's catalogue when the package is installed.",
             rcode, paste(".qv_catalogue <-", paste(deparse(table), collapse = "\n"))),
           "R/functions.R", useBytes = TRUE)

# ---- help pages --------------------------------------------------------------------------------

# Rd text from the catalogue's Markdown: `code`, *emphasis*, paragraphs and "- " lists.
rd_escape <- function(x) gsub("([%{}\\\\])", "\\\\\\1", x)
rd_inline <- function(text) {
  parts <- strsplit(text, "`", fixed = TRUE)[[1L]]
  if (endsWith(text, "`")) parts <- c(parts, "")
  out <- character(length(parts))
  for (i in seq_along(parts)) {
    if (i %% 2L == 0L) {
      # R-like \code{} reads quoted strings, so an unbalanced quote goes to \verb{}.
      quotes <- lengths(regmatches(parts[i], gregexpr("['\"]", parts[i])))
      out[i] <- sprintf(if (quotes %% 2L) "\\verb{%s}" else "\\code{%s}", rd_escape(parts[i]))
    } else {
      out[i] <- gsub("\\*([^* ][^*]*[^* ]|[^* ])\\*", "\\\\emph{\\1}", rd_escape(parts[i]))
    }
  }
  paste(out, collapse = "")
}
rd_paragraphs <- function(paragraphs) {
  vapply(paragraphs, function(p) {
    lines <- strsplit(p, "\n", fixed = TRUE)[[1L]]
    if (all(startsWith(lines, "|"))) {
      rows <- lapply(lines[!grepl("^[|: -]+$", lines)], function(l) trimws(strsplit(sub("^[|]", "", l), "|",
                                                                                 fixed = TRUE)[[1L]]))
      cells <- vapply(rows, function(r) paste(vapply(r, rd_inline, ""), collapse = " \\tab "), "")
      paste(c(sprintf("\\tabular{%s}{", strrep("l", length(rows[[1L]]))), paste(cells, "\\cr"), "}"),
            collapse = "\n")
    } else if (all(startsWith(lines, "- "))) {
      paste(c("\\itemize{", paste("\\item", vapply(substring(lines, 3L), rd_inline, "")), "}"), collapse = "\n")
    } else {
      rd_inline(paste(lines, collapse = "\n"))
    }
  }, "", USE.NAMES = FALSE)
}

# The examples of the reference ("`PCTL(50, 1, 2, 3, 4)` = `2.5`") as R calls.
split_args <- function(text) {
  if (!nzchar(trimws(text))) return(character())
  tokens <- regmatches(text, gregexpr("'([^']|'')*'|[^,]+", text))[[1L]]
  trimws(tokens)
}
r_value <- function(token) {
  if (grepl("^[-+]?([0-9]+\\.?[0-9]*|\\.[0-9]+)(e[-+]?[0-9]+)?$", token, ignore.case = TRUE)) return(token)
  if (grepl("^[-+]?inf$", token, ignore.case = TRUE)) return(sub("inf", "Inf", token, ignore.case = TRUE))
  if (token == ".") return("NA")
  if (grepl("^\\.[A-Za-z_]$", token)) return(sprintf('qv_missing("%s")', toupper(substring(token, 2L))))
  if (grepl("^'.*'$", token)) {
    s <- gsub("''", "'", substring(token, 2L, nchar(token) - 1L))
    return(sprintf('"%s"', gsub('(["\\\\])', "\\\\\\1", s)))
  }
  NA_character_
}
r_vector <- function(values, chr) {
  if (!length(values)) return(if (chr) "character()" else "numeric()")
  if (length(values) == 1L) return(values)
  sprintf("c(%s)", paste(values, collapse = ", "))
}
# The statistics that rank missing values among the others in the package (ORDINAL puts them first);
# R leaves them out under na.rm = TRUE as sort() does (src/values.c, qvr_ranks_missing).
RANKS_MISSING <- "ORDINAL"

r_examples <- function(f, s, name) {
  hits <- regmatches(f$reference, gregexpr(
    "`([A-Z0-9]+)\\(([^`]*)\\)` = `([^`]*)`( \\(\\*([a-z ]+)\\*)?", f$reference))[[1L]]
  lines <- character()
  for (h in hits) {
    m <- regmatches(h, regexec("`([A-Z0-9]+)\\(([^`]*)\\)` = `([^`]*)`( \\(\\*([a-z ]+)\\*)?", h))[[1L]]
    if (m[2L] != f$name) next
    values <- vapply(split_args(m[3L]), r_value, "")
    if (anyNA(values)) next
    result <- if (m[4L] == ".") "NA" else m[4L]
    comment <- if (nzchar(m[6L])) sprintf("  # %s (%s)", result, m[6L]) else sprintf("  # %s", result)
    if (s$kind == "elementwise") {
      lines <- c(lines, paste0(name, "(", paste(values, collapse = ", "), ")", comment))
      next
    }
    np <- length(s$params)
    if (length(values) < np) next
    data <- values[seq_along(values) > np]
    # The package ranks missing values where R leaves them out (na.rm = TRUE): such an example's
    # answer is the package's, not R's.
    if (f$name %in% RANKS_MISSING && any(data == "NA" | startsWith(data, "qv_missing"))) next
    call <- paste(c(r_vector(data, f$rest_kind == KIND_CHR), values[seq_len(np)]), collapse = ", ")
    lines <- c(lines, paste0(name, "(", call, ")", comment))
    if (length(lines) == 1L) { # the first example once more, as two columns and as a row
      lines <- c(lines, paste("v <-", r_vector(data, f$rest_kind == KIND_CHR)),
                 paste0(sub("^qv_", "qv_col", name), "(", paste(c("cbind(a = v, b = v)", values[seq_len(np)]),
                                                                 collapse = ", "), ")",
                        sprintf("  # %s in each column", result)))
      row <- c(data, if (np) paste(s$params, "=", values[seq_len(np)]))
      lines <- c(lines, paste0(sub("^qv_", "qv_p", name), "(", paste(row, collapse = ", "), ")", comment))
    }
  }
  if (f$name %in% RANKS_MISSING) {
    lines <- c(lines, sprintf("%s(c(5, NA, 3, 1), 1:3)  # 1 3 5, as sort(c(5, NA, 3, 1))", name),
               sprintf("%s(c(5, NA, 3, 1), 1, na.rm = FALSE)  # NA", name))
  }
  lines
}

# The reference as R users read it: the missing value `.` is NA, an argument marked invalid is named
# as qv_status() names it, and what concerns only a call of the package (how it reads its arguments,
# its scratch memory, which R's out-of-memory error covers) and its examples (the page's examples are
# R calls) is left out. For a statistic of RANKS_MISSING, R's rule for missing values in place of
# the package's.
r_reference <- function(f, s) {
  text <- f$reference
  text <- gsub("(^|\n)- (Reads|Examples:)[^\n]*", "", text)
  text <- gsub(" ?[A-Z][^.`]*need scratch memory[^*]*\\*no scratch memory\\*\\.", "", text)
  text <- gsub("(^|\n)- (Otherwise \\*ok\\*\\.)?(\n|$)", "\\1", text)
  names <- if (s$kind == "list") c(s$params, "x") else s$args
  for (i in seq_along(names)) {
    text <- gsub(sprintf("argument %d marked", i), sprintf("`%s` marked", names[i]), text, fixed = TRUE)
  }
  if (f$name %in% RANKS_MISSING) {
    text <- sub("missing ones included: missing values come first, [^\n]*?then the numbers in ascending order\\.",
                paste("as `sort(x)[k]`: with `na.rm = TRUE`, the default, the missing values are left out first",
                      "(as `sort()` leaves them out); with `na.rm = FALSE` the result is `NA` when `x` holds one."),
                text)
    text <- sub(paste(" The value chosen is returned as it is, so the result can be a special missing value",
                      "with status \\*ok\\*\\."), "", text)
  }
  text <- gsub("`.`", "`NA`", text, fixed = TRUE)
  sub("\n+$", "", text)
}

NA_TEXT <- paste(
  "NA and NaN are the missing value \\code{.} to the package, a \\code{.} result is \\code{NA_real_},",
  "and the special missing values \\code{._} and \\code{.A} to \\code{.Z} travel as NaN payloads inside",
  "R doubles (\\code{is.na()} is \\code{TRUE}; see \\code{\\link{qv_missing}}).",
  "Integer and logical vectors convert; character, factor and list arguments where numbers are wanted",
  "are errors. The statistics take \\code{na.rm}: its default is \\code{TRUE} because every statistic of the",
  "package is defined over the values that are present (a missing value, special ones included, is counted by",
  "\\code{qv_nmiss} and left out of the others), so \\code{na.rm = FALSE} is the one that changes a result:",
  "\\code{NA} wherever a missing value is among the values. A status other than \\emph{ok} and \\emph{missing argument} gives one warning per call",
  "summing it up; \\code{\\link{qv_status}()} gives the status of every result. Running out of memory is an error.")

arguments_of <- function(f, s) {
  kind_words <- function(kind) if (kind == KIND_CHR) "a character vector" else if (kind == 3L)
    "a numeric or character vector" else "a numeric vector"
  if (s$kind == "elementwise") {
    items <- vapply(seq_along(s$args), function(i) {
      kind <- if (i == 1L) f$first_kind else f$rest_kind
      sprintf("\\item{%s}{%s, recycled to the length of the longest argument%s.}", s$args[i], kind_words(kind),
              if (i > s$required) "; left out when \\code{NULL}, the default" else "")
    }, "")
    return(items)
  }
  data <- kind_words(if (length(s$params)) f$rest_kind else f$first_kind)
  c(sprintf("\\item{x}{%s: the values; in \\code{%s}, a matrix or data frame, each column its own values.}", data,
            sub("^qv_", "qv_col", r_name(f))),
    vapply(s$params, function(p) sprintf(
      "\\item{%s}{the %s of %s: one result for each of its values in \\code{%s}; in \\code{%s} it is recycled over the rows.}",
      p, if (p == "p") "percentile" else if (p == "k") "rank" else "value looked for", rd_escape(f$usage),
      r_name(f), sub("^qv_", "qv_p", r_name(f))), ""),
    sprintf("\\item{\\dots}{%ss recycled to a common length, or matrices and data frames standing for their columns: one call per row.}",
            sub("^a ", "", data)),
    paste("\\item{na.rm}{\\code{TRUE}, the default, leaves missing values out, as the function itself does;",
          "\\code{FALSE} makes the result \\code{NA} wherever the values hold one, as \\code{median(x, na.rm = FALSE)} does.}"))
}

unlink(Sys.glob("man/fn-*.Rd"))
for (f in catalogue) {
  s <- shape_of(f)
  name <- r_name(f)
  paragraphs <- strsplit(r_reference(f, s), "\n\n", fixed = TRUE)[[1L]]
  paragraphs <- paragraphs[nzchar(trimws(paragraphs))]
  body <- rd_paragraphs(paragraphs)
  # A first paragraph that leads into the next ("...:") stays with the details.
  if (endsWith(paragraphs[1L], ":")) body <- c(paste0(rd_escape(f$summary), "."), body)
  if (s$kind == "elementwise") {
    usage <- sprintf("%s(%s)", name, paste(formals_of(s), collapse = ", "))
    aliases <- name
    form <- sprintf(paste(
      "In R, \\code{%s} is \\code{%s} elementwise: its arguments are recycled to the length of the",
      "longest, as \\code{atan2()} recycles, and the result keeps the names, dimensions and time series",
      "attributes of the longest."),
      rd_escape(f$usage), usage)
    value <- sprintf("A %s vector as long as the longest argument.",
                     if (f$result_kind == KIND_CHR) "character" else "numeric")
  } else {
    pname <- sub("^qv_", "qv_p", name)
    cname <- sub("^qv_", "qv_col", name)
    usage <- c(sprintf("%s(%s)", name, paste(c("x", s$params, "na.rm = TRUE"), collapse = ", ")),
               sprintf("%s(%s)", cname, paste(c("x", s$params, "na.rm = TRUE"), collapse = ", ")),
               sprintf("%s(%s)", pname, paste(c("\\dots", s$params, "na.rm = TRUE"), collapse = ", ")))
    aliases <- c(name, cname, pname)
    form <- sprintf(paste(
      "In R, \\code{%s(x%s)} is one call of %s over all the values of \\code{x}, as \\code{median(x)} is%s.",
      "\\code{%s} makes the same call over each column of a matrix or data frame, as \\code{colMeans()} goes,",
      "named by the columns%s.",
      "\\code{%s} makes one call per row across its arguments, as \\code{pmax()} does: the row-wise call of SQL.%s"),
      name, paste0(", ", s$params, collapse = ""), f$name,
      if (length(s$params)) sprintf(", once for each value of \\code{%s}", s$params[1L]) else "",
      cname, if (length(s$params)) sprintf(paste(
        " (with several values of \\code{%s}, a matrix of one row per column and one column per value,",
        "as matrixStats' \\code{colQuantiles()} gives)"), s$params[1L]) else "", pname,
      if (f$aggregate != 0L) sprintf(paste(
        " \\code{\\link{qv_by}(x, g, \"%s\")} computes it for every group in one pass, and",
        "\\code{\\link{qv_moving}(x, k, \"%s\")} over moving windows."), tolower(f$name), tolower(f$name)) else "")
    value <- sprintf("%s: one value%s; one per column from \\code{%s}; one per row from \\code{%s}. %s",
                     if (f$result_kind == KIND_CHR) "A character vector" else "A numeric vector",
                     if (length(s$params)) sprintf(" for each value of \\code{%s}%s", s$params[1L],
                                                   if (s$params[1L] == "p") ", named as \\code{quantile()} names them (\\code{\"90\\%\"})" else "")
                     else "", cname, pname,
                     switch(date_rule(f), keep = "Dates and times (\\code{Date}, \\code{POSIXct}) keep their class, as in \\code{median()}; in the row-wise form the first argument's, as in \\code{pmin()}; the column form gives plain numbers.",
                            plain = "Dates and times count as values.", refuse = "Dates and times are an error."))
  }
  rd <- c(
    "% Made by tools/generate.R from the host library's catalogue when the package is installed.",
    sprintf("\\name{%s}", name),
    sprintf("\\alias{%s}", aliases),
    sprintf("\\title{%s}", rd_escape(if (f$name %in% RANKS_MISSING) sub(", missing values first$", "", f$summary)
                                      else f$summary)),
    "\\description{", body[1L], "}",
    "\\usage{", usage, "}",
    "\\arguments{", arguments_of(f, s), "}",
    "\\details{", paste(body[-1L], collapse = "\n\n"), "", form, "", NA_TEXT, "}",
    sprintf("\\value{%s}", value),
    sprintf("\\seealso{Family: %s. \\code{\\link{qv_status}}, \\code{\\link{qv_missing}}.}", rd_escape(f$family)),
    "\\examples{", gsub("%", "\\%", r_examples(f, s, name), fixed = TRUE), "}")
  writeLines(rd, sprintf("man/fn-%s.Rd", tolower(f$name)), useBytes = TRUE)
}
