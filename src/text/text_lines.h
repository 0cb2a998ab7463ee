#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace veltrane {
class LogSink;
}

namespace veltrane::text {

// The encoding a whole text file was read in, so it can be written back in it.
enum class TextEncoding
{
    Ansi,
    Utf8Bom,
    Utf16LE,
    Utf16BE
};

struct TextLines
{
    QStringList lines;
    TextEncoding encoding = TextEncoding::Ansi;
};

// Splits at CR LF, lone LF and lone CR. A line break at the very end makes no
// further, empty line; an empty text has no lines.
QStringList SplitLines(QStringView text);

// A byte-order mark selects UTF-8, UTF-16 LE or UTF-16 BE (tested in that
// order, the mark not part of the text); without one the bytes are ANSI.
TextLines DecodeTextLines(QByteArrayView bytes);

// Every line followed by CR LF, in the given encoding, with its mark.
QByteArray EncodeTextLines(const QStringList& lines, TextEncoding encoding);

// Reads a whole file. Throws Failure with a Spanish message when it cannot.
TextLines ReadTextLines(const QString& path);

// Replaces a whole file atomically: readers see the old content or the new,
// never a part. Throws Failure with a Spanish message when it cannot.
void WriteTextLines(const QString& path, const QStringList& lines, TextEncoding encoding,
                    LogSink* log = nullptr);

// Replaces a whole file atomically with the given bytes; throws Failure.
// Windows refuses the replace while another program holds the file open
// without delete sharing (as QFile and the C run-time's fopen do): then it is
// tried again for a moment, and if the file is still held it is rewritten in
// place, as such readers allow. Either way out of the ordinary is logged.
void WriteFileAtomically(const QString& path, const QByteArray& bytes, LogSink* log = nullptr);

} // namespace veltrane::text
