// Run driver: start-up, the command line, and the order of one run, either
// building an MDM file or analysing one (once, or once per plausible value).
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "app/app.h"
#include "app/driver_internal.h"
#include "estimation/estimation.h"
#include "extended/extended.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "report/report.h"
#include "nonlinear/nonlinear.h"

namespace {

constexpr const char* OPTION_STRING = "ei:m:p:r:vwEI:M:P:R:VW";
constexpr const char* TEMPLATE_HEADER = "#ARB2 MDM CREATION TEMPLATE";
constexpr const char* NEW_COMMAND_FILE = "newcmd.arb";
// The tenth read at the MDM-name prompt ends the run.
constexpr int MAX_NAME_READS = 9;

// Files that belong to one analysis pass.
struct PassFiles {
    FILE* mdm = nullptr;          ///< the MDM file, open "rb"
    FILE* output = nullptr;       ///< the report, or stdout
    FILE* miResults = nullptr;    ///< "mixyzzy.dat" in a multiple-imputation pass
    long multinomialStart = -1;   ///< report position the multinomial analysis returns to
};

// Files that live for the whole analysis road.
struct RunFiles {
    FILE* pvResults = nullptr;               ///< estimates of the plausible-value passes
    PassLayout layout;                       ///< blocks the passes append, from the last linear pass
};

void print_usage(const char* program) {
    std::printf("usage: %s [-p priority] [-r respfile] [-v] [-w] [mdm file] [command file]\n", program);
    fatal_exit(0);
}

// Digits after the leading letter of a -m value, read as a decimal number.
int parse_pass_number(const char* digits) {
    int value = 0;
    while (std::isdigit(static_cast<unsigned char>(*digits)) && value < 100000000) {
        value = value * 10 + (*digits - '0');
        ++digits;
    }
    return value;
}

// -p: l runs at idle priority, h at high priority; a refused change is ignored.
void set_priority(const char* value) {
    errno = 0;
    int current = getpriority(PRIO_PROCESS, 0);
    if (current == -1 && errno != 0) {
        std::printf("\nUnable to get priority class");
        return;
    }
    if (value[0] == 'l') {
        if (setpriority(PRIO_PROCESS, 0, 19) != 0) { /* refused: run on as before */ }
    } else if (value[0] == 'h') {
        if (setpriority(PRIO_PROCESS, 0, -10) != 0) { /* refused: run on as before */ }
    }
}

// -r: a template file starts an MDM-creation run, anything else becomes standard input.
void take_response_file(const char* path, CommandLine& cl) {
    FILE* f = open_or_die(path, "r");
    char first[80] = {};
    if (std::fgets(first, sizeof first, f) == nullptr) first[0] = '\0';
    std::fclose(f);
    if (strncasecmp(first, TEMPLATE_HEADER, std::strlen(TEMPLATE_HEADER)) == 0) {
        read_mdm_template(path, cl.creation);
        cl.templateGiven = true;
        return;
    }
    if (std::freopen(path, "r", stdin) == nullptr) {
        std::printf("Unable to open %s\n", path);
        fatal_exit(0);
    }
}

}  // namespace

void parse_command_line(int argc, char** argv, RunSettings& rs, CommandLine& cl) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : PROGRAM_NAME;
    // The leading '+' keeps option parsing POSIX (stop at the first operand);
    // the ':' makes a missing argument distinguishable from an unknown option.
    std::string optstring = std::string("+:") + OPTION_STRING;
    opterr = 0;
#ifdef __GLIBC__
    optind = 0;  // full reset of the parser, including its position inside a word
#else
    optind = 1;
#endif
    int c;
    while ((c = getopt(argc, argv, optstring.c_str())) != -1) {
        switch (std::tolower(c)) {
            case 'e':
                rs.miLast += 1;
                rs.miCount = rs.miPass;
                break;
            case 'i':
                rs.inMemory = optarg[0] != '0';
                break;
            case 'm':
                if (optarg[0] == 'i') {
                    rs.miActive = true;
                    rs.miPass = parse_pass_number(optarg + 1);
                    if (rs.miPass == 0) rs.miFirst = true;
                }
                break;
            case 'p':
                set_priority(optarg);
                break;
            case 'r':
                take_response_file(optarg, cl);
                break;
            case 'v':
                std::printf("%s version %s\n\n", PROGRAM_NAME, PROGRAM_VERSION);
                break;
            case 'w':
                exit_state().waitAtExit += 1;
                break;
            case ':':
                std::printf("option requires an argument -- %c\n", optopt);
                print_usage(program);
                break;
            default:
                std::printf("illegal option -- %c\n", optopt);
                print_usage(program);
                break;
        }
    }
    if (rs.miLast && !rs.miActive) {
        std::printf("-e (last multiple imputation) specified, but -m (multiple imputation) was not!\n");
        fatal_exit(0);
    }
    if (optind < argc) rs.mdmFileName = argv[optind];
    if (optind + 1 < argc) rs.commandFileName = argv[optind + 1];
}

namespace {

// Step 1: values fixed before anything else runs.
void start_up() {
    install_handlers();
    run_start_time();
    // The three temporary names; one of them carries the plausible-value command file.
    for (std::string& name : exit_state().tempNames) name = make_temp_name();
    // The DBMS/COPY root would come from the registry; there is none here, so the
    // default of the MDM readers stands.
}

// Step 3, "no": the MDM file name from the console; the tenth read ends the run.
std::string ask_mdm_file_name() {
    std::string name;
    int reads = 0;
    for (;;) {
        std::printf("\nEnter name of MDM file: ");
        read_answer_line(name);
        ++reads;
        if (reads > MAX_NAME_READS) fatal_exit(15);
        if (name.empty()) continue;
        if (file_exists(name.c_str())) return name;
        std::printf(" %s does not exist.", name.c_str());
    }
}

// Re-prompts for a missing file. There is no attempt limit, but an input that
// has run dry can never give a name, so the end of input ends the run.
void reprompt_until_exists(std::string& name, const char* format) {
    while (!file_exists(name.c_str())) {
        std::printf(format, name.c_str());
        if (!read_answer_line(name)) fatal_exit(15);
    }
}

// The MDM file appears only when it is complete: it is written under a
// temporary name beside it and renamed at the end, so a build stopped by
// damaged input (or anything else) leaves no file that looks usable.
FILE* open_unfinished(const std::string& name) {
    std::string pattern = name + ".XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0) return open_or_die(name.c_str(), "wb");
    // mkstemp makes the file private; give it the permissions a new file gets.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) {
        // The file stays private; that harms nothing.
    }
    exit_state().unfinishedFile = pattern;
    FILE* f = fdopen(fd, "wb");
    if (f == nullptr) fatal_exit(5);
    return f;
}

// Closes the finished file and gives it its name.
void finish_unfinished(FILE* out, const std::string& name) {
    if (std::fclose(out) != 0) fatal_exit(5);
    std::string& unfinished = exit_state().unfinishedFile;
    if (unfinished.empty()) return;
    if (std::rename(unfinished.c_str(), name.c_str()) != 0) fatal_exit(5);
    unfinished.clear();
}

// Steps 3 (yes) and 4: build an MDM file and end.
[[noreturn]] void create_mdm(RunSettings& rs, CommandLine& cl) {
    MdmCreation& c = cl.creation;
    if (!cl.templateGiven) {
        if (ask_yes_no("Is the input file a v-known file?")) {
            rs.isVKnown = true;
            c.isVKnown = true;
            vknown_creation_dialogue(c);
        } else {
            rs.withinPersons = ask_yes_no("Are your data measures within persons?") != 0;
            c.withinPersons = rs.withinPersons;
            creation_dialogue(c);
        }
    }
    if (c.mdmFileName.empty()) c.mdmFileName = rs.mdmFileName;
    rs.mdmFileName = c.mdmFileName;

    FILE* out = open_unfinished(c.mdmFileName);
    if (c.isVKnown) {
        BuildCounts counts = build_vknown_mdm(c, out);
        finish_unfinished(out, c.mdmFileName);
        std::printf(" %6ld groups%s", counts.l2Records, " have been processed\n");
    } else {
        BuildCounts counts = build_mdm(c, out);
        finish_unfinished(out, c.mdmFileName);
        std::printf(" %6ld level-1 records%s", counts.l1Records, " have been processed\n");
        std::printf(" %6ld level-2 records%s", counts.l2Records, " have been processed\n");
        if (counts.deletedGroups > 0) {
            std::printf("%d level-2 cases were deleted due to missing data.\n", counts.deletedGroups);
        }
    }
    fatal_exit(0);
}

// The kind of analysis the model asks for, as the exit routine needs it.
AnalysisKind analysis_kind(const RunSettings& rs, const ModelSpec& model) {
    if (rs.distribution == 3) return AnalysisKind::Multinomial;
    if (rs.distribution == 1 || rs.distribution == 2) return AnalysisKind::NonLinear;
    if (!model.heteroVars.empty()) return AnalysisKind::HeteroVariance;
    return AnalysisKind::Linear;
}

bool is_console_name(const std::string& name) { return strcasecmp(name.c_str(), "stdout") == 0; }

}  // namespace

const std::tm& run_start_time() {
    static const std::tm start = [] {
        std::time_t now = std::time(nullptr);
        std::tm t{};
        localtime_r(&now, &t);
        return t;
    }();
    return start;
}

std::string pass_output_name(const std::string& name, int passNumber) {
    std::string base = name.substr(0, name.find('.'));
    return base + "." + std::to_string(passNumber);
}

namespace {

// Step 12: opens the report of this pass and tells the exit routine about it.
FILE* open_output(const RunSettings& rs, const ModelSpec& model, AnalysisKind kind) {
    ExitState& st = exit_state();
    st.outputFileName = rs.outputFileName;
    st.kind = kind;
    FILE* out = nullptr;
    if (is_console_name(rs.outputFileName)) {
        out = stdout;
    } else if (rs.miActive) {
        out = open_or_die(pass_output_name(rs.outputFileName, rs.miPass + 1).c_str(), "w+");
    } else if (!model.plausibleValues.empty()) {
        out = open_or_die(pass_output_name(rs.outputFileName, model.plausiblePass + 1).c_str(), "w+");
    } else {
        out = open_or_die(rs.outputFileName.c_str(), "w");
    }
    st.output = out;
    return out;
}

}  // namespace

// Step 13: the results file of a multiple-imputation series; its leading
// int32 counts the passes written so far.
FILE* start_mi_results(const RunSettings& rs) {
    FILE* f = nullptr;
    if (rs.miFirst) {
        f = open_or_die(MI_RESULTS_FILE, "wb");
        std::int32_t count = 1;
        if (std::fwrite(&count, sizeof count, 1, f) != 1) fatal_exit(5);
    } else {
        f = open_or_die(MI_RESULTS_FILE, "r+b");
        std::int32_t count = static_cast<std::int32_t>(rs.miCount + 1);
        if (std::fseek(f, 0, SEEK_SET) != 0 || std::fwrite(&count, sizeof count, 1, f) != 1) fatal_exit(5);
        std::fseek(f, 0, SEEK_END);
    }
    return f;
}

namespace {

// Step 15: the analysis itself: the V-known driver for a V-known file, the
// linear engine with its final report otherwise. The non-linear and
// heterogeneous-variance estimators are not part of this build.
void analyse_pass(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, PassFiles& pf, RunFiles& files) {
    if (mdm.isVKnown) {
        run_vknown_analysis(rs, model, mdm, pf.mdm, pf.output);
        return;
    }
    if (rs.analysisKind == AnalysisKind::NonLinear) {
        // A series pass records its final and refined estimates for the combiner.
        FILE* results = pf.miResults != nullptr ? pf.miResults : files.pvResults;
        run_pql_analysis(rs, model, mdm, pf.mdm, pf.output, [&](const LinearFit& fit, const RefinedSet& refined) {
            files.layout = nonlinear_pass_layout(fit, rs, refined);
            if (results != nullptr) append_nonlinear_pass(results, files.layout, fit, refined);
        });
        return;
    }
    if (rs.analysisKind == AnalysisKind::Multinomial) {
        run_categorical_analysis(rs, model, mdm, pf.mdm, pf.output);
        return;
    }
    if (rs.analysisKind == AnalysisKind::HeteroVariance) {
        run_hetero_pass(rs, model, mdm, pf.mdm, pf.output);
        return;
    }
    LinearFit fit;
    run_analysis(rs, model, mdm, pf.mdm, pf.output, fit);
    // The residual files read the per-unit stores, so the stores close last.
    linear_final_reports(rs, model, mdm, pf.mdm, pf.output, fit,
                         pf.miResults != nullptr ? pf.miResults : files.pvResults);
    files.layout = linear_pass_layout(fit, rs);
    release_linear_fit(fit);
}

// Step 17: closes the report; analyses that move back in it are cut at the last write first.
void close_output(PassFiles& pf, AnalysisKind kind) {
    ExitState& st = exit_state();
    if (pf.output != nullptr && pf.output != stdout) {
        if (kind != AnalysisKind::Linear) {
            std::fflush(pf.output);
            long pos = std::ftell(pf.output);
            if (pos >= 0 && ftruncate(fileno(pf.output), pos) != 0) { /* keep the file as it is */ }
        }
        std::fclose(pf.output);
    }
    pf.output = nullptr;
    st.output = nullptr;
}

}  // namespace

// Step 18: puts the next plausible value where the previous one stood and
// writes the model for the next pass. False when the series is done.
bool next_plausible_value(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm) {
    if (model.plausibleValues.empty()) return false;
    int pass = model.plausiblePass + 1;
    model.plausiblePass = pass;
    if (pass >= static_cast<int>(model.plausibleValues.size())) return false;
    int prev = model.plausibleValues[pass - 1];
    int next = model.plausibleValues[pass];
    if (model.outcome == prev) model.outcome = next;
    // The previous variable's row in every per-slot table moves to the next one
    // (role, centering, level-2 predictors), and the previous one drops out.
    auto swap_at = [](std::vector<int>& v, std::size_t a, std::size_t b) {
        if (a < v.size() && b < v.size()) std::swap(v[a], v[b]);
    };
    for (int s = 0; s < model.numSets; ++s) {
        swap_at(model.l1Role, model.at(s, prev), model.at(s, next));
        swap_at(model.fixedEffectOnly, model.at(s, prev), model.at(s, next));
        swap_at(model.l1ResidualVars, model.at(s, prev), model.at(s, next));
        for (int k = 0; k < model.numL2Slots; ++k) {
            swap_at(model.l2Predictors, model.pred(s, prev, k), model.pred(s, next, k));
        }
        for (int k = 0; k < 12; ++k) {
            swap_at(model.l2Candidates, model.cand(s, prev, k), model.cand(s, next, k));
        }
    }
    swap_at(model.l1Centering, prev, next);

    const std::string& tempCommand = exit_state().tempNames[0];
    write_command_file(tempCommand.c_str(), CommandFileForm::PostRun, rs, model, mdm);
    rs.commandFileName = tempCommand;
    return true;
}

namespace {

// Steps 5-19: the analysis road.
[[noreturn]] void analyse(RunSettings& rs) {
    ModelSpec model;
    MdmHeader mdm;
    RunFiles files;

    // Step 5. The linear engine opens its own per-unit scratch files for each
    // pass (or keeps the records in memory with -i), so none are opened here.
    rs.dataSourceName.clear();

    bool firstPass = true;
    int plausiblePass = 0;
    for (;;) {
        PassFiles pass;

        // Step 6.
        reprompt_until_exists(rs.mdmFileName, "mdm file %s does not exist.\n Enter new file name: ");
        pass.mdm = open_or_die(rs.mdmFileName.c_str(), "rb");
        if (firstPass) rs.dataSourceName = rs.mdmFileName;

        // Step 7.
        if (!rs.commandFileName.empty()) {
            reprompt_until_exists(rs.commandFileName,
                                  "The command file %s does not exist. \n Enter new file name: ");
        }

        // Steps 8-10.
        mdm = MdmHeader{};
        read_mdm_header(pass.mdm, mdm);
        rs.isVKnown = mdm.isVKnown;
        size_model_tables(mdm, model);
        read_command_file(rs, model, mdm);
        model.plausiblePass = plausiblePass;  // the re-read file restarts the series count
        specify_model_interactively(rs, model, mdm);
        AnalysisKind kind = analysis_kind(rs, model);

        // Step 11. The categories of the outcome label the header's equations.
        if (kind == AnalysisKind::Multinomial) {
            std::vector<double> values;
            std::vector<long> counts;
            categorise_outcome(rs, model, mdm, pass.mdm, values, counts);
        }
        if (kind != AnalysisKind::Linear) {
            write_command_file(NEW_COMMAND_FILE, CommandFileForm::PreRun, rs, model, mdm);
        }

        // Step 12.
        pass.output = open_output(rs, model, kind);
        write_run_header(pass.output, rs, model, mdm);

        // Step 13. The averaged report starts from the header of the first pass.
        const bool plausible = !model.plausibleValues.empty();
        if ((rs.miActive && rs.miFirst) || (plausible && firstPass)) {
            if (pass.output != stdout) start_averaged_output(pass.output, rs.outputFileName);
        }
        if (rs.miActive) pass.miResults = start_mi_results(rs);
        if (plausible && firstPass)
            files.pvResults = start_plausible_results(static_cast<int>(model.plausibleValues.size()));

        // Step 14.
        if (pass.output != stdout) {
            if (kind != AnalysisKind::NonLinear && kind != AnalysisKind::HeteroVariance) {
                std::printf("Computing . . ., please wait\n");
            }
            if (kind == AnalysisKind::Multinomial) pass.multinomialStart = std::ftell(pass.output);
        }

        // Step 15.
        analyse_pass(rs, model, mdm, pass, files);

        // Step 16.
        if (kind == AnalysisKind::Linear) {
            write_command_file(NEW_COMMAND_FILE, CommandFileForm::PostRun, rs, model, mdm);
        }

        // Step 17.
        close_output(pass, kind);
        if (pass.miResults != nullptr && rs.miLast) {
            // The last pass of an imputation series combines the series and removes its file.
            combine_series(pass.miResults, AveragedRun::MultipleImputation, files.layout,
                           make_report_labels(model, rs, mdm), rs.outputFileName);
        } else if (pass.miResults != nullptr) {
            std::fclose(pass.miResults);
        }
        std::fclose(pass.mdm);

        // Step 18.
        firstPass = false;
        if (!next_plausible_value(rs, model, mdm)) break;
        plausiblePass = model.plausiblePass;
    }

    // After the last plausible value: the averaged results (the combiner closes the scratch file).
    if (files.pvResults != nullptr) {
        combine_series(files.pvResults, AveragedRun::PlausibleValues, files.layout,
                       make_report_labels(model, rs, mdm), rs.outputFileName);
    }

    // Step 19.
    fatal_exit(0);
}

}  // namespace

int run_driver(int argc, char** argv) {
    RunSettings rs;
    CommandLine cl;

    start_up();
    parse_command_line(argc, argv, rs, cl);

    // Step 3: with neither an MDM file nor a template, ask which road to take.
    if (!cl.templateGiven && rs.mdmFileName.empty()) {
        if (ask_yes_no("\nWill you be starting with raw data?")) create_mdm(rs, cl);
        rs.mdmFileName = ask_mdm_file_name();
    }
    if (cl.templateGiven) create_mdm(rs, cl);

    analyse(rs);
}
