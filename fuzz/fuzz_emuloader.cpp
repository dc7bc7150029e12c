// The emulator's firmware loader: the bytes an upload tool sends it, fed in chunks.
// Input: one chunk-size byte, then the line's bytes.
#include "fuzzcommon.h"
#include "loadermodel.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 200000)
        return 0;
    const QByteArray line = fuzz::bytes(data + 1, size - 1);

    QByteArray buffer = line;
    for (int guard = 0; guard <= line.size(); ++guard) {
        const emu::LoaderScan scan = emu::scanLoaderRequest(buffer, LoaderModel::MaxFrameData);
        FUZZ_CHECK(scan.consumed >= 0 && scan.consumed <= buffer.size());
        buffer.remove(0, scan.consumed);
        if (scan.kind == emu::LoaderScan::NeedMore)
            break;
    }

    LoaderModel loader;
    const int chunk = 1 + data[0];
    for (int offset = 0; offset < line.size(); offset += chunk)
        (void)loader.receive(line.mid(offset, chunk), offset);
    const QByteArray image = line.mid(line.size() / 2);
    QString why;
    if (emu::signedimage::verify(image, &why))
        FUZZ_CHECK(emu::signedimage::body(image).size() + emu::signedimage::HeaderSize + emu::signedimage::DigestSize ==
                   image.size());
    return 0;
}
