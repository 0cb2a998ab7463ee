#include "text/text_lines.h"

#include "core/failure.h"
#include "core/file_errors.h"
#include "core/log_sink.h"
#include "text/ansi_codepage.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QThread>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace Qt::StringLiterals;

namespace veltrane::text {
namespace {

bool startsWith(QByteArrayView bytes, const char* mark, qsizetype n)
{
    return bytes.size() >= n && bytes.first(n) == QByteArrayView(mark, n);
}

// The caller has taken the mark off already: a second U+FEFF is text, and
// must survive the file being written back.
QString decodeWith(QStringDecoder::Encoding encoding, QByteArrayView bytes)
{
    QStringDecoder decoder(encoding, QStringDecoder::Flag::Stateless |
                                         QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

QByteArray encodeWith(QStringEncoder::Encoding encoding, const QString& text)
{
    QStringEncoder encoder(encoding, QStringEncoder::Flag::WriteBom);
    return encoder.encode(text);
}

// Attempts at the atomic replace while the file is held, and the pause
// before each further one: about a tenth of a second in all.
constexpr int kHeldAttempts = 5;
constexpr int kHeldPauseMs = 25;

// Whether another program holds the file open without delete sharing, which
// is what makes Windows refuse to replace it.
bool heldWithoutDeleteSharing(const QString& path)
{
#ifdef Q_OS_WIN
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
#else
    Q_UNUSED(path);
    return false; // POSIX replaces a file whoever has it open
#endif
}

// One try at the atomic replace. False when the replace was refused because
// the file is held; any other failure throws.
bool tryReplace(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        throw Failure(FileFailureMessage(file, FileOperation::Write));
    }
    if (file.write(bytes) != bytes.size()) {
        const QString message = FileFailureMessage(file, FileOperation::Write);
        file.cancelWriting();
        throw Failure(message);
    }
    if (file.commit()) {
        return true;
    }
    if (file.error() == QFileDevice::RenameError && heldWithoutDeleteSharing(path)) {
        return false;
    }
    throw Failure(FileFailureMessage(file, FileOperation::Write));
}

// The new content over the old in the same file, then cut to its length:
// the file is never empty on the way, and a reader that holds it open sees
// the new content.
void rewriteInPlace(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || file.write(bytes) != bytes.size() ||
        !file.resize(bytes.size()) || !file.flush()) {
        throw Failure(FileFailureMessage(file, FileOperation::Write));
    }
}

} // namespace

QStringList SplitLines(QStringView text)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c != u'\r' && c != u'\n') {
            continue;
        }
        lines.append(text.sliced(start, i - start).toString());
        if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n') {
            ++i;
        }
        start = i + 1;
    }
    if (start < n) {
        lines.append(text.sliced(start).toString());
    }
    return lines;
}

TextLines DecodeTextLines(QByteArrayView bytes)
{
    TextLines result;
    QString text;
    if (startsWith(bytes, "\xEF\xBB\xBF", 3)) {
        result.encoding = TextEncoding::Utf8Bom;
        text = decodeWith(QStringDecoder::Utf8, bytes.sliced(3));
    } else if (startsWith(bytes, "\xFF\xFE", 2)) {
        result.encoding = TextEncoding::Utf16LE;
        text = decodeWith(QStringDecoder::Utf16LE, bytes.sliced(2));
    } else if (startsWith(bytes, "\xFE\xFF", 2)) {
        result.encoding = TextEncoding::Utf16BE;
        text = decodeWith(QStringDecoder::Utf16BE, bytes.sliced(2));
    } else {
        text = AnsiCodePage::decode(bytes);
    }
    result.lines = SplitLines(text);
    return result;
}

QByteArray EncodeTextLines(const QStringList& lines, TextEncoding encoding)
{
    QString text;
    qsizetype size = 0;
    for (const QString& line : lines) {
        size += line.size() + 2;
    }
    text.reserve(size);
    for (const QString& line : lines) {
        text.append(line);
        text.append(QLatin1String("\r\n"));
    }
    switch (encoding) {
    case TextEncoding::Utf8Bom:
        return encodeWith(QStringEncoder::Utf8, text);
    case TextEncoding::Utf16LE:
        return encodeWith(QStringEncoder::Utf16LE, text);
    case TextEncoding::Utf16BE:
        return encodeWith(QStringEncoder::Utf16BE, text);
    case TextEncoding::Ansi:
        break;
    }
    return AnsiCodePage::encode(text);
}

TextLines ReadTextLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw Failure(FileFailureMessage(file, FileOperation::Read));
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw Failure(FileFailureMessage(file, FileOperation::Read));
    }
    return DecodeTextLines(bytes);
}

void WriteTextLines(const QString& path, const QStringList& lines, TextEncoding encoding,
                    LogSink* log)
{
    WriteFileAtomically(path, EncodeTextLines(lines, encoding), log);
}

void WriteFileAtomically(const QString& path, const QByteArray& bytes, LogSink* log)
{
    for (int attempt = 1; attempt <= kHeldAttempts; ++attempt) {
        if (attempt > 1) {
            QThread::msleep(kHeldPauseMs);
        }
        if (tryReplace(path, bytes)) {
            if (attempt > 1 && log) {
                log->WriteLog(
                    u"Archivo en uso por otro programa, reemplazado al intento %1: "_s.arg(
                        attempt) +
                    QDir::toNativeSeparators(path));
            }
            return;
        }
    }
    rewriteInPlace(path, bytes);
    if (log) {
        log->WriteLog(u"Archivo en uso por otro programa, reescrito en su lugar: "_s +
                      QDir::toNativeSeparators(path));
    }
}

} // namespace veltrane::text
