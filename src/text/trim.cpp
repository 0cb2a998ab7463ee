#include "text/trim.h"

namespace veltrane::text {

QString TrimControl(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() < 33) {
        ++begin;
    }
    while (end > begin && text.at(end - 1).unicode() < 33) {
        --end;
    }
    return text.sliced(begin, end - begin).toString();
}

} // namespace veltrane::text
