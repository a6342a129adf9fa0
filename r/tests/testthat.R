library(testthat)
library(qvewumth)
test_check("qvewumth")
