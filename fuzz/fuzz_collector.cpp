// The transport's frame collection: bytes of a serial line fed one at a time and in chunks of
// the sizes the fuzzer picks must give the same frame, never more than the length field asks for;
// and, as the transport reads after a repeat request, the search past false starts must only ever
// come up with a frame that is really on the line and whose CRC holds.
// Input: one chunk-size seed byte, then the line's bytes.
#include "framecollector.h"
#include "fuzzcommon.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 200000)
        return 0;
    const int chunkSeed = data[0];
    const QByteArray line = fuzz::bytes(data + 1, size - 1);

    FrameCollector single;
    int taken = 0;
    while (taken < line.size() && !single.isComplete()) {
        const FrameCollector::Step step = single.push(line.at(taken++));
        FUZZ_CHECK(step != FrameCollector::Skipped || !single.isStarted());
    }

    FrameCollector chunked;
    int offset = 0;
    int chunk = 1 + chunkSeed % 17;
    while (offset < line.size() && !chunked.isComplete()) {
        const int n = qMin(chunk, line.size() - offset);
        const int used = chunked.push(line.constData() + offset, n);
        FUZZ_CHECK(used >= 0 && used <= n);
        FUZZ_CHECK(used == n || chunked.isComplete());
        offset += used;
        chunk = 1 + (chunk * 7 + chunkSeed) % 23;
    }

    FUZZ_CHECK(single.frame() == chunked.frame());
    FUZZ_CHECK(single.isComplete() == chunked.isComplete());
    FUZZ_CHECK(taken == offset);
    if (single.isStarted())
        FUZZ_CHECK(quint8(single.frame().at(0)) == FsMsg::StartByte);
    if (single.isComplete()) {
        FUZZ_CHECK(single.frame().size() == single.expectedSize());
        FsRep rep;
        const fs::RepParsingRes res = rep.setRawData(single.frame());
        FUZZ_CHECK(res != fs::WrongStartByte && res != fs::WrongLength);
    } else {
        FUZZ_CHECK(single.expectedSize() < 0 || single.frame().size() < single.expectedSize());
    }

    // As the transport reads after a repeat request: a frame that fails its CRC is a false start,
    // given up for the next start byte; a line that runs dry is searched for a good frame.
    FrameCollector r;
    for (char byte : line) {
        if (r.push(byte) == FrameCollector::Complete && (r.checksumOk() || (r.resync() && r.isComplete())))
            break;
    }
    if (r.isStarted() && !r.isComplete())
        r.salvage();
    if (r.isComplete()) {
        FUZZ_CHECK(r.checksumOk());
        FsRep rep;
        FUZZ_CHECK(rep.setRawData(r.frame()) == fs::Ok);
        FUZZ_CHECK(line.contains(r.frame()));
    }
    return 0;
}
