/* Writes types_118.dta with the ReadStat writer: a numeric ID and one column
 * of each Stata numeric storage type (byte, int, long, float, double), with
 * the system missing value in row 2 and the extended missing values .a/.z in row 3:
 *   cc make_types_dta.c -lreadstat -o make_types_dta && ./make_types_dta */
#include <readstat.h>
#include <stdio.h>

static ssize_t put(const void *b, size_t n, void *f) { return (ssize_t)fwrite(b, 1, n, (FILE *)f); }

int main(void) {
    FILE *out = fopen("types_118.dta", "wb");
    readstat_writer_t *w = readstat_writer_init();
    readstat_set_data_writer(w, put);
    readstat_writer_set_file_format_version(w, 118);
    readstat_variable_t *id = readstat_add_variable(w, "id", READSTAT_TYPE_INT32, 0);
    readstat_variable_t *b = readstat_add_variable(w, "b", READSTAT_TYPE_INT8, 0);
    readstat_variable_t *i = readstat_add_variable(w, "i", READSTAT_TYPE_INT16, 0);
    readstat_variable_t *l = readstat_add_variable(w, "l", READSTAT_TYPE_INT32, 0);
    readstat_variable_t *f = readstat_add_variable(w, "f", READSTAT_TYPE_FLOAT, 0);
    readstat_variable_t *d = readstat_add_variable(w, "d", READSTAT_TYPE_DOUBLE, 0);
    readstat_begin_writing_dta(w, out, 3);
    for (int r = 0; r < 3; r++) {
        readstat_begin_row(w);
        readstat_insert_int32_value(w, id, 10 + r);
        if (r == 0) {
            readstat_insert_int8_value(w, b, -100);
            readstat_insert_int16_value(w, i, 32740);
            readstat_insert_int32_value(w, l, -2147483640);
            readstat_insert_float_value(w, f, 0.25f);
            readstat_insert_double_value(w, d, 8.9e307);
        } else {
            readstat_variable_t *v[5] = {b, i, l, f, d};
            for (int k = 0; k < 5; k++) {
                if (r == 1) readstat_insert_missing_value(w, v[k]);
                else readstat_insert_tagged_missing_value(w, v[k], k % 2 ? 'a' : 'z');
            }
        }
        readstat_end_row(w);
    }
    readstat_end_writing(w);
    readstat_writer_free(w);
    fclose(out);
    return 0;
}
