// Feeds the script parser arbitrary text. Whatever comes in, parsing ends with a program or a
// compile error: never a crash, a hang or a sanitizer report.
//
// Built two ways:
// - with libFuzzer (clang, -fsanitize=fuzzer; scripts/fuzz-parser.sh builds and runs it) this
//   file is the fuzz target;
// - otherwise it is a test program: it parses a seed corpus of the scripts the service runs
//   (with awkward titles spliced in) and then a fixed number of mutations of them, so every
//   test run, under the sanitizers too, fuzzes deterministically. Give `--iterations N` and
//   `--seed S` for a longer run.

#include "src/music/music_scripts.h"
#include "src/script/script_literal.h"
#include "src/script/script_parser.h"

#include <QCoreApplication>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

void parse(const std::string& bytes) {
    const QString source = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    (void)sonavert::script::ScriptParser::parse(source);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    parse(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

#ifndef SONAVERT_LIBFUZZER

namespace {

std::vector<std::string> seedCorpus() {
    using namespace sonavert;
    const QString awkward = u"Say \"Hi\" \\ \n ♫ & return \" -- (*"_s;
    std::vector<std::string> seeds;
    for (const QString& script :
         {music_scripts::nowPlaying(), music_scripts::pause(),
          music_scripts::playFromLibrary(awkward, awkward, 93.5),
          music_scripts::verifyPlayback(awkward, u"Neil Young"_s, 1e9),
          music_scripts::openLocation(u"music://x/us/song/id1?a=\"b\""_s),
          u"repeat with t in (every track of library playlist 1 whose name is "
          "\"x\")\n exit repeat\nend repeat\n(* nested (* comment *) *) "
          "set x to {1, 2.5, \"a\" & 3 as text, missing value}"_s})
        seeds.push_back(script.toStdString());
    return seeds;
}

// Deep nesting must be refused, not recursed into until the stack runs out. These are parsed
// once each; mutating them would only make every iteration slow.
std::vector<std::string> deepInputs() {
    std::vector<std::string> seeds;
    seeds.push_back(std::string(100000, '(') + "1" + std::string(100000, ')'));
    seeds.push_back(std::string(50000, '-') + "1");
    std::string tells;
    for (int i = 0; i < 20000; ++i)
        tells += "tell application \"Music\"\n";
    seeds.push_back(tells);
    return seeds;
}

// Mutations that keep inputs near the language: byte edits, keyword insertions, splices.
std::string mutate(const std::string& input, const std::vector<std::string>& corpus,
                   std::mt19937& random) {
    // The words, '|' between them (no word holds one).
    static const std::vector<std::string> words = [] {
        std::vector<std::string> split;
        std::stringstream all(
            "tell |end |if |then\n|else |repeat |try\n|on error |\"|\\|(|)|{|}|&| as "
            "text|(*|*)|--|\n|return |set | to |of |whose |times | in |exit |1e308|-|¬\n|«|missing "
            "value|contains |is not |current track|player position");
        for (std::string word; std::getline(all, word, '|');)
            split.push_back(word);
        return split;
    }();
    std::string output = input;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < edits; ++i) {
        const std::size_t at = output.empty() ? 0 : random() % (output.size() + 1);
        switch (random() % 5) {
        case 0: // replace a byte
            if (!output.empty())
                output[std::min(at, output.size() - 1)] = static_cast<char>(random() % 256);
            break;
        case 1: // delete a run
            if (!output.empty())
                output.erase(std::min(at, output.size() - 1), 1 + random() % 8);
            break;
        case 2: // insert a word of the language
            output.insert(at, words[random() % words.size()]);
            break;
        case 3: { // splice in a piece of another input
            const std::string& other = corpus[random() % corpus.size()];
            if (!other.empty()) {
                const std::size_t from = random() % other.size();
                output.insert(at, other.substr(from, 1 + random() % 64));
            }
            break;
        }
        default: // duplicate a run
            if (!output.empty()) {
                const std::size_t from = std::min(at, output.size() - 1);
                output.insert(at, output.substr(from, 1 + random() % 32));
            }
            break;
        }
    }
    return output;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    long iterations = 20000;
    unsigned seed = 20261206;
    const QStringList arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--iterations"))
            iterations = arguments[i + 1].toLong();
        else if (arguments[i] == QLatin1String("--seed"))
            seed = arguments[i + 1].toUInt();
    }
    for (const std::string& deep : deepInputs())
        parse(deep);
    std::vector<std::string> corpus = seedCorpus();
    for (const std::string& seedInput : corpus)
        parse(seedInput);
    std::mt19937 random(seed);
    for (long i = 0; i < iterations; ++i) {
        const std::string input = mutate(corpus[random() % corpus.size()], corpus, random);
        parse(input);
        // Keep some mutants as parents, so edits accumulate.
        if (random() % 16 == 0 && corpus.size() < 512 && input.size() < 20000)
            corpus.push_back(input);
    }
    std::printf("parsed %zu seeds and %ld mutations (seed %u)\n",
                seedCorpus().size() + deepInputs().size(), iterations, seed);
    return 0;
}

#endif
