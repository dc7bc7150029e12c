// FsRep::setRawData: a reply frame as the register (or a broken cable) sends it.
// Input: one mode byte, then the frame. Mode bit 0 seals the frame (start byte, length, CRC) so
// that most inputs reach the fields behind the checks.
#include "fuzzcommon.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 70000)
        return 0;
    const bool seal = data[0] & 1;
    QByteArray raw = fuzz::bytes(data + 1, size - 1);
    if (seal && raw.size() <= FsMsg::MaxPayloadSize + FsMsg::MinFrameSize)
        fuzz::sealFrame(raw);

    FsRep rep;
    const fs::RepParsingRes res = rep.setRawData(raw);
    FUZZ_CHECK(rep.parsingResult() == res);
    if (res == fs::Ok) {
        // What parsed must serialise back to the very same bytes.
        FUZZ_CHECK(rep.rawData() == raw);
        FUZZ_CHECK(rep.data().size() == raw.size() - FsMsg::MinFrameSize);
        qint32 fd = 0;
        quint32 fp = 0;
        const fs::RepParsingRes doc = rep.getDocResult(fd, fp);
        FUZZ_CHECK(doc == (rep.data().size() >= 8 ? fs::Ok : fs::WrongLength));
    }
    (void)rep.isValid();
    (void)rep.errorText();
    return 0;
}
