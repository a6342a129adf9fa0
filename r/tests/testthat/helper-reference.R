# The reference is the host library's own answer through its C interface, one plain call at a time.
catalogue <- qvewumth:::.qv_catalogue
reference <- function(name, args) qvewumth:::.qv_reference(name, args)
# The package's '.' (COALESCE of nothing) reaches R as NA_real_; the other missing values keep their bits.
dot <- writeBin(reference("COALESCE", numeric(0))[[1]], raw())
as_r <- function(x) if (is.double(x) && identical(writeBin(x, raw()), dot)) NA_real_ else x
param_names <- function(f) strsplit(f$params, ",", fixed = TRUE)[[1]]
fn <- function(name) getExportedValue("qvewumth", name)

# Numbers that find the edges: zeros of both signs, tiny and huge values, infinities, NA, NaN and
# special missing values, among ordinary ones.
values <- function(n) {
  edges <- c(0, -0, 1, -1, 0.5, 2.5, -2.5, 1e-300, 1e300, 1e155, 710, -710, 3.0000000000005, Inf, -Inf,
             NA, NaN, qv_missing(c("A", "Z", "_")))
  sample(c(edges, rnorm(30), rnorm(20, sd = 1e3), round(runif(20, -50, 50))), n, replace = TRUE)
}
strings <- function(n) sample(c("", "  ", "a", " a", "a  ", "ab", "\u00e9t\u00e9", NA, "x y"), n, replace = TRUE)
params <- function(name, x) switch(name, p = c(0, 12.5, 50, 90, 100, NA, -1, 100.5), k = c(1, 2, 5, 0, NA, 2.5),
                                   v = c(x[3], x[1], 7, NA))

# Bit-for-bit equality of doubles (0 and -0, and NaN payloads, differ), plain identity otherwise.
expect_bits <- function(got, want, what) {
  same <- if (is.double(want)) is.double(got) && length(got) == length(want) &&
    identical(writeBin(got, raw()), writeBin(want, raw())) else identical(got, want)
  i <- which(!mapply(identical, as.list(got), as.list(want), MoreArgs = list(num.eq = FALSE)))[1L]
  expect(same, sprintf("%s: element %s is %s where the host library gives %s", what, i,
                       format(got[i], digits = 17), format(want[i], digits = 17)))
}
# The values R hands the package under na.rm = TRUE: all of them, but for ORDINAL, which would rank
# missing values first, the ones present (as sort() keeps them).
present <- function(name, v) if (name == "ORDINAL") v[!is.na(v)] else v
