/* Rewrites a plain SAS7BDAT file as a row-compressed (RLE) one with the
 * ReadStat writer, which R's haven cannot do:
 *   cc make_rle_sas.c -lreadstat -o make_rle_sas
 *   ./make_rle_sas small1.sas7bdat small1_rle.sas7bdat */
#include <readstat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { MAXV = 64, MAXR = 100000 };
static int nvar, nrow;
static char names[MAXV][64];
static readstat_type_t types[MAXV];
static size_t widths[MAXV];
static double *num;
static char **str;

static int on_var(int i, readstat_variable_t *v, const char *l, void *c) {
    (void)l; (void)c;
    snprintf(names[i], 64, "%s", readstat_variable_get_name(v));
    types[i] = readstat_variable_get_type_class(v) == READSTAT_TYPE_CLASS_STRING ? READSTAT_TYPE_STRING
                                                                                  : READSTAT_TYPE_DOUBLE;
    widths[i] = readstat_variable_get_storage_width(v);
    nvar = i + 1;
    return 0;
}

static int on_value(int r, readstat_variable_t *v, readstat_value_t x, void *c) {
    (void)c;
    int i = readstat_variable_get_index(v);
    if (r + 1 > nrow) nrow = r + 1;
    if (types[i] == READSTAT_TYPE_STRING) str[r * MAXV + i] = strdup(readstat_string_value(x) ? readstat_string_value(x) : "");
    else num[r * MAXV + i] = readstat_value_is_system_missing(x) ? 0.0 / 0.0 : readstat_double_value(x);
    return 0;
}

static ssize_t put(const void *b, size_t n, void *f) { return (ssize_t)fwrite(b, 1, n, (FILE *)f); }

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    num = calloc((size_t)MAXR * MAXV, sizeof *num);
    str = calloc((size_t)MAXR * MAXV, sizeof *str);
    readstat_parser_t *p = readstat_parser_init();
    readstat_set_variable_handler(p, on_var);
    readstat_set_value_handler(p, on_value);
    if (readstat_parse_sas7bdat(p, argv[1], NULL) != READSTAT_OK) return 1;
    readstat_parser_free(p);

    FILE *out = fopen(argv[2], "wb");
    readstat_writer_t *w = readstat_writer_init();
    readstat_set_data_writer(w, put);
    readstat_writer_set_compression(w, READSTAT_COMPRESS_ROWS);
    readstat_variable_t *vars[MAXV];
    for (int i = 0; i < nvar; i++) vars[i] = readstat_add_variable(w, names[i], types[i], widths[i]);
    if (readstat_begin_writing_sas7bdat(w, out, nrow) != READSTAT_OK) return 1;
    for (int r = 0; r < nrow; r++) {
        readstat_begin_row(w);
        for (int i = 0; i < nvar; i++) {
            if (types[i] == READSTAT_TYPE_STRING) readstat_insert_string_value(w, vars[i], str[r * MAXV + i]);
            else if (num[r * MAXV + i] != num[r * MAXV + i]) readstat_insert_missing_value(w, vars[i]);
            else readstat_insert_double_value(w, vars[i], num[r * MAXV + i]);
        }
        readstat_end_row(w);
    }
    readstat_end_writing(w);
    readstat_writer_free(w);
    fclose(out);
    return 0;
}
