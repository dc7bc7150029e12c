// framedecoder: request, reply and loader frames as they come off the line, and the text of a log
// file or of hex lines. Input: a mode byte, a command byte (what a reply answers), then the bytes.
// Mode bits 0-1 pick the reader; bit 2 seals a register frame (start byte, length, CRC) so that
// most inputs reach the payload readers behind the checks.
#include "framedecoder.h"
#include "fuzzcommon.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

namespace {
void checkLine(const QString &line)
{
    FUZZ_CHECK(!line.isEmpty());
    FUZZ_CHECK(!line.contains(QLatin1Char('\n')));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 70000)
        return 0;
    const quint8 mode = data[0];
    const quint8 code = data[1];
    QByteArray raw = fuzz::bytes(data + 2, size - 2);
    if ((mode & 4) && raw.size() <= FsMsg::MaxPayloadSize + FsMsg::MinFrameSize)
        fuzz::sealFrame(raw);

    switch (mode & 3) {
    case 0:
        checkLine(framedecoder::describeRequest(raw));
        break;
    case 1:
        checkLine(framedecoder::describeReply(raw, code, code));
        break;
    case 2:
        checkLine(framedecoder::describeLoaderRequest(raw));
        checkLine(framedecoder::describeLoaderReply(raw));
        break;
    default:
        for (const QString &line : framedecoder::decodeText(QString::fromUtf8(raw)))
            checkLine(line);
        break;
    }
    return 0;
}
