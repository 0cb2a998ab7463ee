// Whole-file text decoding: any bytes give lines without line breaks, and
// writing the lines back in the encoding they were read in and reading them
// again gives the same lines and encoding (what the sale file relies on when
// it rewrites a file it has read).
#include "fuzz_support.h"
#include "text/text_lines.h"

using veltrane::fuzzing::Bytes;
using namespace veltrane::text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const TextLines read = DecodeTextLines(Bytes(data, size));
    for (const QString& line : read.lines) {
        FUZZ_CHECK(!line.contains(u'\r') && !line.contains(u'\n'));
    }
    const QByteArray written = EncodeTextLines(read.lines, read.encoding);
    const TextLines again = DecodeTextLines(written);
    // A file of nothing but a mark has no line to carry the mark back.
    FUZZ_CHECK(again.encoding == read.encoding || read.lines.isEmpty());
    FUZZ_CHECK(again.lines == read.lines);
    // And once more, byte for byte: the second write is the first.
    FUZZ_CHECK(EncodeTextLines(again.lines, again.encoding) == written);
    return 0;
}
