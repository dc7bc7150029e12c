#include "scene.h"

#include <QLineEdit>

#include <cstdio>
#include <cstdlib>

// The firmware tab after a whole upload to the emulator's loader: connection checked, a small
// signed image sent block by block, checked and installed, then verified. scripts/screenshots.sh
// names the loader's port and the image in the environment.
VIRTA_SCENE(firmware_tab, 50)
{
    const QString loader = qEnvironmentVariable("VIRTA_LOADER_PORT");
    const QString image = qEnvironmentVariable("VIRTA_FIRMWARE_IMAGE");
    if (loader.isEmpty() || image.isEmpty()) {
        std::fprintf(stderr, "virta-screenshots: firmware_tab needs VIRTA_LOADER_PORT and VIRTA_FIRMWARE_IMAGE "
                             "(scripts/screenshots.sh sets them)\n");
        std::exit(3);
    }
    s.selectTab(QStringLiteral("tabFirmare"));
    // The loader is a pseudo-terminal, which the port list does not show: typed, as a user does.
    s.type(QStringLiteral("tabFirmare/cbPort"), loader);
    s.find<QLineEdit>(QStringLiteral("tabFirmare/leFirmareFile"))->setText(image);
    s.click(QStringLiteral("tabFirmare/pbCheckConnection"));
    s.click(QStringLiteral("tabFirmare/pbSendFirmware"));
    s.click(QStringLiteral("tabFirmare/pbVerifyFirmware"));
    s.shot(QStringLiteral("firmware-tab"));
}
