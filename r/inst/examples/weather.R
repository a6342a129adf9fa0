library(qvewumth)
args <- commandArgs(trailingOnly = TRUE)
w <- read.csv(if (length(args)) args[1] else "examples/weather.csv", colClasses = "character")
for (v in c("t06", "t12", "t18", "rain_mm")) w[[v]] <- qv_as_number(w[[v]])  # "" is NA, ".M" stays .M
print(qv_by(w[c("t06", "t12", "t18")], w$station, "median"))
print(data.frame(n = qv_by(w$t12, w$station, "n"), p90 = qv_by(w$t12, w$station, "pctl", 90),
                 rain = qv_round(qv_by(w$rain_mm, w$station, "sum"), 0.1)))
w <- w[order(w$station, w$date), ]
w$median_3_days <- ave(w$t12, w$station, FUN = function(t) qv_moving(t, 3, "median"))
print(head(w[c("station", "date", "t12", "median_3_days")], 12), row.names = FALSE)
