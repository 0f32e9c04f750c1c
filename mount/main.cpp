// tarvel-mount: the phone's flash memory as a folder (FUSE).

#include "fusemount.h"
#include "sessionstore.h"
#include "sumletcontrol.h"

#include <memory>

namespace {

// For the tests only: a factor (0 to 1) for the link's pauses and time-out and
// the retry pause, so that a connection takes a fraction of a second.
double testTimeScale()
{
    bool ok = false;
    const double scale = qEnvironmentVariable("TARVEL_MOUNT_TEST_TIME_SCALE").toDouble(&ok);
    return ok && scale > 0 && scale <= 1 ? scale : 1.0;
}

} // namespace

int main(int argc, char *argv[])
{
    std::unique_ptr<SumletControl> crc;
    std::unique_ptr<SessionConnector> connector;
    return runTarvelMount(argc, argv, [&](const LinkSettings &link) -> PhoneStoreFactory {
        return [&crc, &connector, link]() -> StoreResult<std::unique_ptr<PhoneStore>> {
            if (!crc) {
                QString problem;
                crc = SumletControl::create(&problem);
                if (!crc)
                    return StoreError{StoreFailure::LinkLost,
                                      QStringLiteral("cannot load the checksum component: ") + problem};
                connector = std::make_unique<SessionConnector>(link, *crc, testTimeScale());
            }
            return connector->connect();
        };
    });
}
