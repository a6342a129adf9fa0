# Checks that the C files of src/ call each other only downwards, in the layers src/qvr.h lists:
# a file calls a qvr_ function only when the file that defines it is in a lower layer.
#   Rscript r/tools/layers.R [SRC_DIR]     (SRC_DIR: r/src; exits 1 naming each call upwards)
args <- commandArgs(TRUE)
src <- if (length(args)) args[1] else file.path(dirname(sub("^--file=", "", grep("^--file=", commandArgs(), value = TRUE))), "..", "src")
header <- readLines(file.path(src, "qvr.h"))
rows <- regmatches(header, regexec("^ \\*\\s+([0-9])\\s+((?:[a-z]+\\.c\\s*)+)", header, perl = TRUE))
rows <- Filter(length, rows)
layer <- unlist(lapply(rows, function(r) {
  files <- strsplit(trimws(r[3]), "\\s+")[[1]]
  setNames(rep(as.integer(r[2]), length(files)), files)
}))
files <- list.files(src, pattern = "\\.c$")
unlisted <- setdiff(files, names(layer))
if (length(unlisted)) stop("src/qvr.h gives no layer to ", paste(unlisted, collapse = ", "))
code <- lapply(setNames(files, files), function(f) readLines(file.path(src, f)))
# A function is defined where a line starts with its type and its name is followed by "(".
defined <- unlist(lapply(files, function(f) {
  m <- regmatches(code[[f]], regexpr("^[A-Za-z][^=;(]*\\b(qvr_[a-z_0-9]+)\\(", code[[f]]))
  setNames(rep(f, length(m)), sub(".*\\b(qvr_[a-z_0-9]+)\\($", "\\1", m))
}))
upwards <- character()
for (f in files) {
  called <- unique(unlist(regmatches(code[[f]], gregexpr("\\bqvr_[a-z_0-9]+(?=\\()", code[[f]], perl = TRUE))))
  for (fn in intersect(called, names(defined))) {
    at <- defined[[fn]]
    if (at != f && layer[[at]] >= layer[[f]]) upwards <- c(upwards, sprintf("%s calls %s of %s (layer %d, not below %d)", f, fn, at, layer[[at]], layer[[f]]))
  }
}
if (length(upwards)) {
  cat(upwards, sep = "\n")
  quit(status = 1)
}
cat(length(files), "C files call only the layers below their own\n")
