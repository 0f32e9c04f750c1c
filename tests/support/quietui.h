#pragma once

#include "phoneui.h"

// A PhoneUi that shows nothing and keeps nothing, for programs that run the link
// many times over (fuzz targets) or only measure it (benchmarks). How the program
// ends is left to each of them.
class QuietUi : public PhoneUi
{
public:
    void progressLoad() override {}
    void progressShow() override {}
    bool progressIsOpen() const override { return false; }
    void progressSetMaximum(int) override {}
    void progressSetValue(int) override {}
    int progressValue() const override { return 0; }
    void progressAddRow(const QString &, int) override {}
    void progressRepaint() override {}
    void progressShowCloseButton() override {}
    void progressFocus() override {}
    void progressClose() override {}
    void setMainWindowEnabled(bool) override {}
    void setMainWindowVisible(bool) override {}
    void setWaitingBytesText(const QString &) override {}
    void setSequenceText(const QString &) override {}
    void setTotalMemoryText(const QString &) override {}
    void setFreeMemoryText(const QString &) override {}
    void connectionEstablished() override {}
    void showMessage(Icon, const QString &, const QString &) override {}
    bool askYesNo(Icon, const QString &, const QString &) override { return false; }
};
