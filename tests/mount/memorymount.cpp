// tarvel-mount over the in-memory phone, for the tests. The environment sets it up:
// TARVEL_MEMORY_SEED   a PC folder copied in as the flash at start
// TARVEL_MEMORY_DUMP   a PC folder the flash is written to after unmounting
// TARVEL_MEMORY_LOG    a file that gets one line per phone operation
// TARVEL_MEMORY_TOTAL  the phone's memory in bytes (3,000,000 by default)
// TARVEL_MEMORY_FAULTS the faults, as MemoryFaults::parse reads them

#include "fusemount.h"
#include "memoryphone.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    const quint64 total = qEnvironmentVariableIsSet("TARVEL_MEMORY_TOTAL")
        ? qEnvironmentVariable("TARVEL_MEMORY_TOTAL").toULongLong()
        : 3000000;
    MemoryPhone phone(total, MemoryFaults::parse(qEnvironmentVariable("TARVEL_MEMORY_FAULTS")),
                      qEnvironmentVariable("TARVEL_MEMORY_LOG"));
    const QString seed = qEnvironmentVariable("TARVEL_MEMORY_SEED");
    if (!seed.isEmpty() && !phone.load(seed)) {
        std::fprintf(stderr, "cannot read the seed folder %s\n", qPrintable(seed));
        return 4;
    }
    const int status = runTarvelMount(argc, argv, [&phone](const LinkSettings &) -> PhoneStoreFactory {
        return [&phone] { return phone.connect(); };
    });
    const QString dump = qEnvironmentVariable("TARVEL_MEMORY_DUMP");
    if (!dump.isEmpty() && !phone.dump(dump)) {
        std::fprintf(stderr, "cannot write the dump folder %s\n", qPrintable(dump));
        return 4;
    }
    return status;
}
