#pragma once

#include "mountoptions.h"
#include "phonestore.h"

#include <functional>

// The connector for the phone on the link that the command line names.
using PhoneBackend = std::function<PhoneStoreFactory(const LinkSettings &link)>;

// The whole of tarvel-mount: reads the command line, connects, mounts, serves
// requests on this thread until unmounted, and returns the exit status.
int runTarvelMount(int argc, char *argv[], const PhoneBackend &backend);
