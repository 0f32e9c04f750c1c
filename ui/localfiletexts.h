#pragma once

#include "localfilewriter.h"

#include <QString>

// Why a file on the PC could not be written, in the window's language.
namespace LocalFiles {

QString reasonFor(const LocalFileError &error);

} // namespace LocalFiles
