#pragma once

// Why a serial port did not open; each front end words it.
enum class PortError {
    None,
    NoSuchDevice,
    Busy,
    NoPermission,
    NotSerial,
    IsDirectory,
    Other
};
