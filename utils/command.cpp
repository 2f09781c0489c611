// Running shell command lines and reading their output as lines.
//
// Two runners with deliberately different rules, because callers parse their
// output differently:
//   execute_command  the platform process runner; standard error captured;
//                    empty lines dropped; locale white space stripped.
//   popen            the platform's pipe runner, status as pclose(3) gives
//                    it; standard error not captured; empty lines kept;
//                    " \n\r\t" stripped; long lines in pieces.
#include "nesk_utils.h"

#include <cstddef>

#include <boost/algorithm/string/trim.hpp>
#include <boost/tokenizer.hpp>

#include "YotSleep.h"
#include "ZavProcess.h"

namespace {

const char k_source_name[] = "nesk_utils";

}  // namespace

int nesk_utils::execute_command(std::string command, std::list<std::string>& lines,
                                std::string& error, int delay) {
    std::string output;
    const int status = ZavProcess::system(command.c_str(), &output, &error, 0, false);

    // A failing command that printed nothing leaves the caller's list alone.
    if (status != 0 && output.empty()) return status;

    if (delay != 0) YOTSLEEP_InTeRnAl(delay, k_source_name, __LINE__);

    // Only line feed separates; empty pieces (blank lines, a leading or the
    // final line feed) produce nothing. A piece made of white space only, such
    // as the "\r" of an empty CRLF line, survives the split and trims to "".
    std::list<std::string> result;
    const boost::char_separator<char> line_feed("\n");
    const boost::tokenizer<boost::char_separator<char>> pieces(output, line_feed);
    for (const std::string& piece : pieces) {
        result.push_back(piece);
        // White space as the process's global locale classifies it.
        boost::algorithm::trim(result.back(), std::locale());
    }
    lines.swap(result);
    return status;
}

int nesk_utils::popen(std::string command, std::list<std::string>& lines, int delay) {
    // The platform's spawner, not popen(3): the command gets descriptors 0-2
    // only, and its status is kept when the caller ignores SIGCHLD.
    ZavProcessPipe pipe;
    if (!pipe.open(command.c_str())) return -1;

    // The command runs during the delay; it blocks once the pipe is full.
    if (delay != 0) YOTSLEEP_InTeRnAl(delay, k_source_name, __LINE__);

    // The output is cut into the pieces fgets(3) with a 4096-byte buffer would
    // give: one line with its line feed, the first 4095 bytes of a longer line,
    // or a last line without line feed; each is trimmed alone, and, as a C
    // string, ends at its first NUL byte. A signal interrupting a read loses
    // no byte (the pipe resumes the read).
    std::list<std::string> result;
    const size_t piece_limit = 4095;
    std::string piece;
    char buffer[4096];
    for (;;) {
        const ssize_t got = pipe.read(buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            piece += buffer[i];
            if (buffer[i] == '\n' || piece.size() == piece_limit) {
                result.push_back(trim(piece.c_str()));
                piece.clear();
            }
        }
    }
    if (!piece.empty()) result.push_back(trim(piece.c_str()));
    lines.swap(result);

    // The shell's wait status as pclose(3) gives it (exit code * 256), or -1
    // when it was lost.
    return pipe.close();
}
