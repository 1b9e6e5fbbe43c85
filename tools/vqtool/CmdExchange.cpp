// Sub-commands that bring mesh files in and out: import and export.

#include "VqErrorState.h"
#include "VqExporter.h"
#include "VqImporter.h"
#include "VqStdError.h"
#include "VqToolCommand.h"

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Inputs from this size on show a progress line while they are read.
constexpr long long kProgressBytes = 4ll << 20;

// The current error as "FILE: what is wrong", the file first as users expect
// of a command-line tool; other errors as the library words them.
std::string errorLine(const std::string& fallbackFile) {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    if (!e) return fallbackFile + ": failed";
    const std::string where = e->location().toUtf8();
    const std::string what = e->description().toUtf8();
    if (!where.empty() && where != "<none>") return where + ": " + what;
    return fallbackFile + ": " + Vq::lastErrorMessage();
}

// The command line of an exchange command: GNU-style options ("--name value"
// and "--name=value"), "--" ending them, -q/--quiet, and the file operands.
// `option` sees every other option through the scanner and returns kNotMine
// for one it does not know, 0 when it took it, or the exit code of a failure.
constexpr int kNotMine = -1;

struct ArgScan {
    const std::vector<std::string>& args;
    size_t i = 0;
    std::string value;
    bool missing = false;

    const std::string& arg() const { return args[i]; }
    bool takes(const std::string& name) {
        const std::string& a = args[i];
        if (a == name) {
            missing = i + 1 >= args.size();
            if (!missing) value = args[++i];
            return true;
        }
        if (a.rfind(name + "=", 0) == 0) {
            value = a.substr(name.size() + 1);
            return true;
        }
        return false;
    }
    int bad(const std::string& what) const { return vqToolFail("bad " + what + " value '" + value + "'"); }
};

template <class Option>
int scanArgs(const std::vector<std::string>& args, const char* command, std::vector<std::string>& files,
             bool& quiet, Option option) {
    ArgScan scan{args};
    bool optionsDone = false;
    for (; scan.i < args.size(); ++scan.i) {
        const std::string a = scan.arg();
        scan.value.clear();
        scan.missing = false;
        if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
            files.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsDone = true;
            continue;
        }
        if (a == "--quiet" || a == "-q") {
            quiet = true;
            continue;
        }
        const int rc = option(scan);
        if (rc == kNotMine)
            return vqToolFail("unknown option '" + a + "' (see 'vqtool " + command + " --help')");
        if (rc != 0) return rc;
        if (scan.missing) return vqToolFail("option '" + a + "' needs a value");
    }
    if (files.size() != 2)
        return vqToolFail(std::string(command) + " takes an input and an output file (see 'vqtool " +
                          command + " --help')");
    return 0;
}

bool parseNumber(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(out);
}

bool parseInt(const std::string& text, int& out) {
    double d = 0;
    if (!parseNumber(text, d) || d != std::floor(d) || std::fabs(d) > 1e6) return false;
    out = int(d);
    return true;
}

bool parseList(const std::string& text, std::vector<float>& out) {
    std::istringstream in(text);
    std::string item;
    out.clear();
    while (std::getline(in, item, ',')) {
        double d = 0;
        if (!parseNumber(item, d)) return false;
        out.push_back(float(d));
    }
    return !out.empty();
}

bool parseVersionText(const std::string& text, int& major, int& minor) {
    const size_t dot = text.find('.');
    return dot != std::string::npos && parseInt(text.substr(0, dot), major) &&
           parseInt(text.substr(dot + 1), minor);
}

long long fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

// One line on standard error, rewritten in place as the stages go on.
class ProgressLine {
public:
    explicit ProgressLine(bool on) : _on(on) {}
    ~ProgressLine() { done(); }
    void show(const char* stage, float fraction) {
        if (!_on) return;
        const int percent = int(fraction * 100.0f + 0.5f);
        if (stage == _stage && percent == _percent) return;
        _stage = stage;
        _percent = percent;
        std::cerr << "\r" << stage << " " << percent << "%   " << std::flush;
        _shown = true;
    }
    void done() {
        if (_shown) std::cerr << "\n";
        _shown = false;
    }

private:
    bool _on;
    bool _shown = false;
    std::string _stage;
    int _percent = -1;
};

} // namespace

int cmdImport(const std::vector<std::string>& args) {
    Vq::Importer::Options opt;
    std::vector<std::string> files;
    bool quiet = false;
    const int rc = scanArgs(args, "import", files, quiet, [&](ArgScan& s) {
        const std::string& v = s.value;
        if (s.takes("--format-version")) {
            if (!s.missing && !parseVersionText(v, opt.versionMajor, opt.versionMinor))
                return s.bad("--format-version");
        } else if (s.takes("--compression")) {
            double d = 0;
            if (!s.missing && (!parseNumber(v, d) || d < 0 || d > 1)) return s.bad("--compression");
            opt.compressionLevel = float(d);
        } else if (s.takes("--coord-bits")) {
            int bits = 0;
            if (!s.missing && (!parseInt(v, bits) || bits < 9 || bits > 24))
                return s.bad("--coord-bits (9 to 24)");
            opt.compressionLevel = Vq::Importer::coordBitsLevel(bits);
        } else if (s.takes("--lods")) {
            if (!s.missing && (!parseInt(v, opt.lodCount) || opt.lodCount < 1 || opt.lodCount > 10))
                return s.bad("--lods (1 to 10)");
        } else if (s.takes("--lod-errors")) {
            if (!s.missing && !parseList(v, opt.lodErrors)) return s.bad("--lod-errors");
        } else if (s.takes("--lod-ratios")) {
            if (!s.missing && !parseList(v, opt.lodRatios)) return s.bad("--lod-ratios");
        } else if (s.takes("--unit-scale")) {
            if (!s.missing && (!parseNumber(v, opt.unitScale) || opt.unitScale <= 0))
                return s.bad("--unit-scale");
        } else if (s.arg() == "--no-weld") {
            opt.weld = false;
        } else {
            return kNotMine;
        }
        return 0;
    });
    if (rc != 0) return rc;
    ProgressLine progress(!quiet && fileSize(files[0]) >= kProgressBytes);
    opt.progress = [&](const char* stage, float done) { progress.show(stage, done); };
    Vq::Importer importer;
    const bool ok = importer.importFile(files[0], files[1], opt);
    progress.done();
    if (!ok) return vqToolFail(errorLine(files[0]));
    const Vq::Importer::Report& r = importer.report();
    if (r.empty) {
        std::cout << files[0] << " holds no geometry: " << files[1] << " is an empty model\n";
        return 0;
    }
    if (!quiet)
        std::cout << files[0] << " -> " << files[1] << ": " << r.nodes << " nodes, " << r.meshes
                  << " meshes, " << r.shapes << " shapes, " << r.instances << " instances, " << r.lodNodes
                  << " LOD nodes, " << r.materials << " materials; " << r.triangles << " triangles, "
                  << r.lines << " lines, " << r.points << " points, " << r.vertices << " vertices\n";
    return 0;
}

int cmdExport(const std::vector<std::string>& args) {
    Vq::Exporter::Options opt;
    std::vector<std::string> files;
    bool quiet = false;
    const int rc = scanArgs(args, "export", files, quiet, [&](ArgScan& s) {
        if (s.takes("--lod")) {
            if (!s.missing && (!parseInt(s.value, opt.lod) || opt.lod < 0 || opt.lod > 9))
                return s.bad("--lod (0 to 9)");
        } else if (s.takes("--format")) {
            opt.format = s.value;
        } else if (s.arg() == "--flatten") {
            opt.flatten = true;
        } else {
            return kNotMine;
        }
        return 0;
    });
    if (rc != 0) return rc;
    // Exports read their shapes one after the other: a large file says that it is at work.
    if (!quiet && fileSize(files[0]) >= kProgressBytes) std::cerr << "loading and writing the shapes...\n";
    Vq::Exporter exporter;
    if (!exporter.exportFile(files[0], files[1], opt)) return vqToolFail(errorLine(files[0]));
    const Vq::Exporter::Report& r = exporter.report();
    if (!quiet)
        std::cout << files[0] << " -> " << files[1] << ": " << r.nodes << " nodes, " << r.meshes
                  << " meshes, " << r.materials << " materials; " << r.triangles << " triangles, " << r.lines
                  << " lines, " << r.points << " points, " << r.vertices << " vertices\n";
    return 0;
}
