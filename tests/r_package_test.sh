#!/usr/bin/env bash
# R CMD build and R CMD check of the R package (its testthat suite included) against this build's
# host library: r/check.sh.
#   tests/r_package_test.sh BUILD_DIR SOURCE_DIR
exec "$2/r/check.sh" "$1" "$2"
