// The frame tool's command line, read in-process: what each good line gives,
// and the problem named for each bad one.
#include "options.h"

#include <doctest/doctest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

ParsedOptions Parse(std::initializer_list<const char*> words)
{
    std::vector<const char*> argv = {"mandelbrot-frames"};
    argv.insert(argv.end(), words);
    return ParseOptions(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST_CASE("a good command line gives its options")
{
    ParsedOptions parsed = Parse({"--size", "640x360", "--ticks", "100600", "--from", "100000", "--raw", "--threads",
                                  "3", "--png", "f.png", "--path", "scalar", "--quiet"});
    CHECK(parsed.problem == "");
    const Options& o = parsed.options;
    CHECK(o.width == 640);
    CHECK(o.height == 360);
    CHECK(o.ticks == 100600);
    CHECK(o.from == 100000);
    CHECK(o.raw);
    CHECK(o.threads == 3);
    CHECK(std::string(o.pngPath) == "f.png");
    CHECK(o.forcePath);
    CHECK(o.path == RenderPath::Scalar);
    CHECK(o.quiet);
    CHECK(!o.help);

    parsed = Parse({"--ticks", "9223372036854775807", "--size", "0x65535", "--path", "auto"});
    CHECK(parsed.problem == "");
    CHECK(parsed.options.ticks == INT64_MAX);
    CHECK(parsed.options.from == 1);
    CHECK(parsed.options.width == 0);
    CHECK(parsed.options.height == 65535);
    CHECK(!parsed.options.forcePath);
    CHECK(parsed.options.threads == 0);
    CHECK(parsed.options.pngPath == nullptr);

    parsed = Parse({"--size", "4x4", "--ticks", "7", "--fast-forward"});
    CHECK(parsed.problem == "");
    CHECK(parsed.options.from == 7);
}

TEST_CASE("--help wins over anything else on the line, and then --list-paths")
{
    for (const ParsedOptions& parsed : {Parse({"--help"}), Parse({"--size", "4x4", "--help", "--colour"}),
                                        Parse({"--colour", "--ticks", "0", "--help"}),
                                        Parse({"--list-paths", "--help"})}) {
        CHECK(parsed.problem == "");
        CHECK(parsed.options.help);
        CHECK(!parsed.options.listPaths);
    }
    for (const ParsedOptions& parsed : {Parse({"--list-paths"}), Parse({"--colour", "--list-paths", "--size"})}) {
        CHECK(parsed.problem == "");
        CHECK(parsed.options.listPaths);
        CHECK(!parsed.options.help);
    }
}

TEST_CASE("the usage, the help and the --path problem name every render path and auto")
{
    const std::string usage = Usage(), help = Help(), problem = Parse({"--size", "4x4", "--ticks", "5", "--path",
                                                                       "avx"}).problem;
    CHECK(help.compare(0, usage.size() + 1, usage + "\n") == 0);
    CHECK(problem.compare(0, 13, "--path wants ") == 0);
    CHECK(problem.find(" or auto, not 'avx'") != std::string::npos);
    const size_t at = usage.find("[--path ") + 8;
    const std::string choices = "|" + usage.substr(at, usage.find(']', at) - at) + "|";
    CHECK(choices.compare(0, 8, "|scalar|") == 0);
    CHECK(choices.compare(choices.size() - 6, 6, "|auto|") == 0);
    for (int i = 0; i < kRenderPathCount; ++i) {
        const std::string name = RenderPathName(RenderPath(i));
        CAPTURE(name);
        CHECK(choices.find("|" + name + "|") != std::string::npos);
        CHECK(problem.find(name + (i + 1 < kRenderPathCount ? ", " : " or auto")) != std::string::npos);
        // Each name on the command line chooses its own path.
        const ParsedOptions parsed = Parse({"--size", "4x4", "--ticks", "5", "--path", name.c_str()});
        CHECK(parsed.problem == "");
        CHECK(parsed.options.forcePath);
        CHECK(parsed.options.path == RenderPath(i));
    }
    // Names are matched as written.
    const std::string upper = Parse({"--size", "4x4", "--ticks", "5", "--path", "SCALAR"}).problem;
    CHECK(upper == problem.substr(0, problem.find("not '")) + "not 'SCALAR'");
}

TEST_CASE("a bad command line names its problem")
{
    const struct {
        std::vector<const char*> words;
        const char* problem;
    } cases[] = {
        {{}, "--size is missing"},
        {{"--size", "4x4"}, "--ticks is missing"},
        {{"--size", "4x4", "--ticks"}, "--ticks needs a value"},
        {{"--size", "4", "--ticks", "1"}, "--size wants WxH with W and H whole numbers from 0 to 65535, not '4'"},
        {{"--size", "x4", "--ticks", "1"}, "--size wants WxH with W and H whole numbers from 0 to 65535, not 'x4'"},
        {{"--size", "4x-4", "--ticks", "1"}, "--size wants WxH with W and H whole numbers from 0 to 65535, not '4x-4'"},
        {{"--size", "4x4x4", "--ticks", "1"}, "--size wants WxH with W and H whole numbers from 0 to 65535, not '4x4x4'"},
        {{"--size", "65536x1", "--ticks", "1"}, "--size wants WxH with W and H whole numbers from 0 to 65535, not '65536x1'"},
        {{"--size", "4x4", "--ticks", "0"}, "--ticks wants a whole number of at least 1, not '0'"},
        {{"--size", "4x4", "--ticks", "-3"}, "--ticks wants a whole number of at least 1, not '-3'"},
        {{"--size", "4x4", "--ticks", "1e3"}, "--ticks wants a whole number of at least 1, not '1e3'"},
        {{"--size", "4x4", "--ticks", "99999999999999999999"},
         "--ticks wants a whole number of at least 1, not '99999999999999999999'"},
        {{"--size", "4x4", "--ticks", "1", "--colour"}, "unknown argument '--colour'"},
        {{"--size", "4x4", "--ticks", "5", "--from", "0"}, "--from wants a whole number of at least 1, not '0'"},
        {{"--size", "4x4", "--ticks", "5", "--from", "2x"}, "--from wants a whole number of at least 1, not '2x'"},
        {{"--size", "4x4", "--ticks", "5", "--from", "6"}, "--from wants a tick from 1 to the --ticks value 5, not 6"},
        {{"--size", "4x4", "--ticks", "5", "--from", "3", "--fast-forward"},
         "--from and --fast-forward both choose the first rendered tick; give one"},
        {{"--size", "4x4", "--from", "3"}, "--ticks is missing"},
        {{"--size", "0x4", "--ticks", "1", "--png", "f.png"}, "--png needs a frame of at least 1x1"},
        {{"--size", "4x4", "--ticks", "5", "--from", "3", "--from", "3"}, "--from is given twice"},
        {{"--size", "4x4", "--ticks", "5", "--raw", "--raw"}, "--raw is given twice"},
        {{"--size", "4x4", "--ticks", "5", "--png", "--raw"}, "--png needs a value, not the option '--raw'"},
        {{"--size", "4x4", "--ticks", "5", "--list-path"}, "unknown argument '--list-path'"},
        {{"--size", "4x4", "--ticks", "5", "--threads", "0"}, "--threads wants a whole number from 1 to 1024, not '0'"},
        {{"--size", "4x4", "--ticks", "5", "--threads", "1025"},
         "--threads wants a whole number from 1 to 1024, not '1025'"},
        {{"--size", "4x4", "--ticks", "5", "--threads", ""}, "--threads wants a whole number from 1 to 1024, not ''"},
        {{"--size", "4x4", "--ticks", "5", "--threads", "2.5"},
         "--threads wants a whole number from 1 to 1024, not '2.5'"},
        // The first problem is the one named.
        {{"--size", "4", "--ticks", "0"}, "--size wants WxH with W and H whole numbers from 0 to 65535, not '4'"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"mandelbrot-frames"};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        const ParsedOptions parsed = ParseOptions(static_cast<int>(argv.size()), argv.data());
        CAPTURE(c.problem);
        CHECK(parsed.problem == c.problem);
    }
}
