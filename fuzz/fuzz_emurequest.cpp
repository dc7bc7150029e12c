// The emulator's wire: what a host (or line noise) sends the substitute register. The scan of the
// receive buffer is checked on its own; the device is then fed the same bytes in chunks and runs
// whatever well-formed requests they hold against a fresh fiscal model.
// Input: one mode byte, then the line's bytes. Mode bit 0 seals the bytes into one frame.
#include "emudevice.h"
#include "fiscalmodel.h"
#include "fuzzcommon.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 20000)
        return 0;
    const quint8 mode = data[0];
    QByteArray line = fuzz::bytes(data + 1, size - 1);
    if (mode & 1)
        fuzz::sealFrame(line);

    const int maxPayload = (mode & 2) ? 16 : EmuDevice::DefaultMaxPayload;
    QByteArray buffer = line;
    for (int guard = 0; guard <= line.size(); ++guard) {
        const emu::RequestScan scan = emu::scanRequest(buffer, maxPayload);
        FUZZ_CHECK(scan.consumed >= 0 && scan.consumed <= buffer.size());
        FUZZ_CHECK(scan.skipped <= scan.consumed);
        if (scan.kind == emu::RequestScan::Request) {
            FUZZ_CHECK(scan.unique != 0 && scan.code != 0);
            FUZZ_CHECK(scan.payload.size() == int(scan.length) - 5);
            FUZZ_CHECK(scan.payload.size() <= maxPayload);
        }
        buffer.remove(0, scan.consumed);
        if (scan.kind == emu::RequestScan::NeedMore)
            break;
    }

    FiscalModel model;
    model.applyPreset((mode & 4) ? QStringLiteral("fresh") : QStringLiteral("ready"));
    EmuDevice device(&model);
    device.setMaxPayload(maxPayload);
    const int chunk = 1 + (mode >> 3);
    qint64 now = 0;
    for (int offset = 0; offset < line.size(); offset += chunk) {
        const QVector<EmuChunk> out = device.receive(line.mid(offset, chunk), now);
        for (const EmuChunk &c : out) {
            FUZZ_CHECK(c.delayMs >= 0);
            if (!c.bytes.isEmpty()) {
                FsRep rep;
                // Whatever the register says goes out as a whole, well-formed frame (faults aside).
                FUZZ_CHECK(rep.setRawData(c.bytes) == fs::Ok);
            }
        }
        now += 1;
    }
    FUZZ_CHECK(device.executionCount() <= device.requests().size());
    return 0;
}
