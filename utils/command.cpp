// Running shell command lines and reading their output as lines.
//
// Two runners with deliberately different rules, because callers parse their
// output differently:
//   execute_command  the platform process runner; standard error captured;
//                    empty lines dropped; locale white space stripped.
//   popen            the platform's pipe runner, status as pclose(3) gives
//                    it; standard error not captured; empty lines kept;
//                    " \n\r\t" stripped; long lines in pieces.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <locale>
#include <vector>

#include "YotSleep.h"
#include "ZavProcess.h"
#include "nesk_utils.h"
#include "run_command.h"

namespace {

const char k_source_name[] = "nesk_utils";

// popen reads as much as a pipe holds at once.
const size_t k_read_size = 64 * 1024;

// Which bytes the process's global locale classifies as white space, looked
// up once per call rather than per character.
class space_table {
public:
    space_table() {
        const std::locale locale;
        const auto& ctype = std::use_facet<std::ctype<char>>(locale);
        for (int c = 0; c < 256; ++c)
            space_[c] = ctype.is(std::ctype_base::space, static_cast<char>(c));
    }
    bool operator()(char c) const { return space_[static_cast<unsigned char>(c)]; }

private:
    bool space_[256];
};

// Appends [begin, end) to `lines` without the bytes `strip` names at both ends.
template <typename Strip>
void append_trimmed(std::list<std::string>& lines, const char* begin, const char* end,
                    const Strip& strip) {
    while (begin < end && strip(*begin)) ++begin;
    while (end > begin && strip(end[-1])) --end;
    lines.emplace_back(begin, end);
}

// The set nesk_utils::trim removes.
bool is_trim_blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// One piece of popen's output, read as fgets(3) hands it over: a C string
// that ends at its first NUL byte, then trimmed as nesk_utils::trim does.
void append_piece(std::list<std::string>& lines, const char* begin, const char* end) {
    const void* nul = std::memchr(begin, '\0', static_cast<size_t>(end - begin));
    if (nul) end = static_cast<const char*>(nul);
    append_trimmed(lines, begin, end, is_trim_blank);
}

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
    // White space is trimmed as the process's global locale classifies it.
    std::list<std::string> result;
    const space_table is_space;
    const char* const end = output.data() + output.size();
    for (const char* piece = output.data(); piece < end;) {
        const void* line_feed = std::memchr(piece, '\n', static_cast<size_t>(end - piece));
        const char* piece_end = line_feed ? static_cast<const char*>(line_feed) : end;
        if (piece_end != piece) append_trimmed(result, piece, piece_end, is_space);
        piece = piece_end + 1;
    }
    lines.swap(result);
    return status;
}

int nesk_utils::popen(std::string command, std::list<std::string>& lines, int delay) {
    return popen_limited(command, lines, delay, 0, nullptr);
}

int popen_limited(const std::string& command, std::list<std::string>& lines, int delay,
                  unsigned int limit_ms, bool* expired) {
    if (expired) *expired = false;
    // The platform's spawner, not popen(3): the command gets descriptors 0-2
    // only, and its status is kept when the caller ignores SIGCHLD.
    ZavProcessPipe pipe;
    if (!pipe.open(command.c_str(), limit_ms)) return -1;

    // The command runs during the delay; it blocks once the pipe is full.
    if (delay != 0) YOTSLEEP_InTeRnAl(delay, k_source_name, __LINE__);

    // The output is cut into the pieces fgets(3) with a 4096-byte buffer would
    // give: one line with its line feed, the first 4095 bytes of a longer line,
    // or a last line without line feed; each is trimmed alone, and, as a C
    // string, ends at its first NUL byte. A signal interrupting a read loses
    // no byte (the pipe resumes the read).
    // A piece that lies whole in one read is taken from the buffer; only one
    // that a read boundary cuts is gathered in `piece` first.
    std::list<std::string> result;
    const size_t piece_limit = 4095;
    std::string piece;
    std::vector<char> buffer(k_read_size);
    for (;;) {
        const ssize_t got = pipe.read(buffer.data(), buffer.size());
        if (got <= 0) break;
        const char* next = buffer.data();
        const char* const end = next + got;
        while (next < end) {
            const size_t room =
                std::min(piece_limit - piece.size(), static_cast<size_t>(end - next));
            const void* line_feed = std::memchr(next, '\n', room);
            const char* piece_end =
                line_feed ? static_cast<const char*>(line_feed) + 1 : next + room;
            if (!line_feed && piece.size() + room < piece_limit) {
                piece.append(next, piece_end);  // continues in the next read
            } else if (piece.empty()) {
                append_piece(result, next, piece_end);
            } else {
                piece.append(next, piece_end);
                append_piece(result, piece.data(), piece.data() + piece.size());
                piece.clear();
            }
            next = piece_end;
        }
    }
    if (!piece.empty()) append_piece(result, piece.data(), piece.data() + piece.size());

    // The shell's wait status as pclose(3) gives it (exit code * 256), or -1
    // when it was lost or the limit passed; output cut short by the limit is
    // not handed on.
    const int status = pipe.close();
    if (pipe.expired()) {
        if (expired) *expired = true;
        return -1;
    }
    lines.swap(result);
    return status;
}

int read_command_output(const char* command, std::string& output) {
    std::string out;
    const int status = ZavProcess::system(command, &out, nullptr, 0, false);
    if (status != 0) return status;
    output = nesk_utils::trim(out);
    return 0;
}
