#pragma once

#include "form1.h"

#include <functional>
#include <memory>

class Checksum;

// Makes the checksum component (the program's `Crc`, without which no BFB block can
// be closed) and the main window. When the component cannot be made, says so in a
// message box and returns null: the program then ends with status 1.
using ChecksumFactory = std::function<std::unique_ptr<Checksum>(QString *errorMessage)>;
std::unique_ptr<Form1> createMainWindow(const ChecksumFactory &createChecksum);
