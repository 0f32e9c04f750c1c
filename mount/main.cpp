// tarvel-mount: the phone's flash memory as a folder (FUSE).

#include "fusemount.h"

int main(int argc, char *argv[])
{
    return runTarvelMount(argc, argv, [](const LinkSettings &link) -> PhoneStoreFactory {
        const QString line = link.device.isEmpty() ? QStringLiteral("port %1").arg(link.port) : link.device;
        return [line]() -> StoreResult<std::unique_ptr<PhoneStore>> {
            return StoreError{StoreFailure::LinkLost,
                              QStringLiteral("this build has no link to the phone on %1 yet").arg(line)};
        };
    });
}
