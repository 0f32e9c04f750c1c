#pragma once

#include <sumlet/sumlet.h>

#include <QString>

namespace sumlet {

// Counts what keeps the module loaded: live objects, outstanding class
// factory references and server locks (DllCanUnloadNow).
void lockModule();
void unlockModule();
long moduleLockCount();

const ModuleDesc &moduleDescriptor();
HRESULT getClassObject(const GUID &clsid, const GUID &iid, void **object);
const char *stringResource(std::uint32_t id); // UTF-8, or null
QString loadString(std::uint32_t id);

// Resource paths of the component's pictures (Qt resource system).
QString iconResource(int size); // 32 or 16
QString toolboxBitmapResource();

// Absolute path of this library file.
QString libraryFilePath();

} // namespace sumlet
