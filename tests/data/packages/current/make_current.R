# Writes the current-format copies of the 20-school data set (small1.csv,
# small2.csv one folder up) with R's haven package: Stata 114/117/118/119,
# SAS7BDAT, SPSS zlib- and byte-compressed with long names and a very long
# string, and CSV files as spreadsheets and R write them.
# Run from this folder: Rscript make_current.R
suppressPackageStartupMessages(library(haven))

l1 <- read.csv("../small1.csv", colClasses = c(ID = "character"))
l2 <- read.csv("../small2.csv", colClasses = c(ID = "character"))
num <- function(d) { d$ID <- as.numeric(d$ID); d }

# Stata: numeric IDs in 114 and 118, string IDs in 117 and 119; the missing
# values of the level-1 file become .a, .b, ... in 118 and 119.
tagged <- function(d) {
  letters_used <- 0
  for (v in c("MINORITY", "FEMALE", "SES", "MATHACH")) {
    at <- which(is.na(d[[v]]))
    for (i in at) {
      letters_used <- letters_used + 1
      d[[v]][i] <- tagged_na(letters[(letters_used - 1) %% 26 + 1])
    }
  }
  d
}
write_dta(num(l1), "small1_114.dta", version = 10)
write_dta(num(l2), "small2_114.dta", version = 10)
write_dta(l1, "small1_117.dta", version = 13)
write_dta(l2, "small2_117.dta", version = 13)
write_dta(tagged(num(l1)), "small1_118.dta", version = 14)
write_dta(num(l2), "small2_118.dta", version = 14)
write_dta(tagged(l1), "small1_119.dta", version = 15)
write_dta(l2, "small2_119.dta", version = 15)

# SAS7BDAT with string IDs.
write_sas(l1, "small1.sas7bdat")
write_sas(l2, "small2.sas7bdat")

# SPSS: a long ID name, a very long string and, in the level-1 file, the
# missing values as a user-missing code.
spss <- function(d) {
  names(d)[names(d) == "ID"] <- "school_identifier"
  if (nrow(d) < 100) d$remark_of_the_interviewer <- strrep("long text, ", 25)
  d
}
s1 <- spss(l1)
s1$MATHACH[is.na(s1$MATHACH)] <- -99
s1$MATHACH <- labelled_spss(s1$MATHACH, na_values = -99)
write_sav(s1, "small1.zsav", compress = "zsav")
write_sav(spss(l2), "small2.zsav", compress = "zsav")
write_sav(s1, "small1_long.sav", compress = "byte")
write_sav(spss(l2), "small2_long.sav", compress = "byte")

# CSV: byte-order mark, CRLF line ends, lower-case header in another column
# order, NA and "." for missing values, a quoted text column with commas.
csv <- function(d, file) {
  d$note <- "a, \"quoted\" note"
  d <- d[, c(ncol(d), rev(seq_len(ncol(d) - 1)))]
  names(d) <- tolower(names(d))
  if ("mathach" %in% names(d)) d$mathach <- ifelse(is.na(d$mathach), ".", format(d$mathach, trim = TRUE))
  out <- file(file, "wb")
  writeBin(as.raw(c(0xef, 0xbb, 0xbf)), out)
  write.csv(d, out, row.names = FALSE, na = "NA", eol = "\r\n")
  close(out)
}
csv(l1, "small1_crlf.csv")
csv(l2, "small2_crlf.csv")

# Tiny files for the damage tests, cut at every length.
tiny <- data.frame(ID = c("a", "b", "b"), score = c(1.5, NA, -2))
write_dta(tiny, "tiny_119.dta", version = 15)
write_dta(data.frame(ID = c(1, 2, 2), score = c(1.5, NA, -2)), "tiny_114.dta", version = 10)
write_sav(tiny, "tiny.zsav", compress = "zsav")
write_sas(tiny, "tiny.sas7bdat")  # then make_rle_sas tiny.sas7bdat tiny_rle.sas7bdat
# tiny.csv (by hand): a byte-order mark, CRLF, a quoted header with a comma, NA, "." and an empty field.
