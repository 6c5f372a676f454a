#pragma once
// What the window benchmarks set up alike: the simulated crate server of the built-in rig in
// this process, and the window with a scratch program folder and a recording dialog seam.

#include "CrateServer.h"
#include "MainForm.h"
#include "RecordingDialogSeam.h"
#include "Rig.h"
#include "TestMainForm.h"

#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace qmxbench {

// The built-in rig in fast mode on a free port, with the libraries pointed at it (the
// environment variable QMX_SERVER_PORT); null, after a message, when it cannot start.
inline std::unique_ptr<qmx::sim::CrateServer> startFastServer()
{
    qmx::sim::ServerOptions so;
    so.port = 0;
    so.fast = true;
    auto server = std::make_unique<qmx::sim::CrateServer>(qmx::sim::defaultRig(), so);
    std::string error;
    if (!server->start(error)) {
        std::fprintf(stderr, "cannot start the simulated server: %s\n", error.c_str());
        return nullptr;
    }
    setenv("QMX_SERVER_PORT", std::to_string(server->port()).c_str(), 1);
    return server;
}

// A window (of type Form, TestMainForm or derived) whose settings live in a scratch folder and
// whose dialogs are recorded.
template <class Form = qmxtest::TestMainForm>
struct BenchWindow {
    QTemporaryDir folder;
    qmxtest::RecordingDialogSeam dialogs;
    std::unique_ptr<Form> form;

    BenchWindow()
    {
        qmx::MainFormOptions o;
        o.programFolder = folder.path();
        o.dialogs = &dialogs;
        form = std::make_unique<Form>(o);
    }
};

// Opens the built-in rig's first module on the window's handle as a discovery run leaves it
// (the window is not shown, so no discovery runs); false, after a message, when it does not open.
inline bool openFirstModule(qmxtest::TestMainForm& form)
{
    QMX58_Init(&form.ModuleHandle);
    if (QMX58_Open(&form.ModuleHandle, 0x7F000001, 11111, "SIM-A8-0001", 2) != 0 ||
        QMX58_GetConfig(&form.ModuleHandle) != 0) {
        std::fprintf(stderr, "cannot open the module\n");
        return false;
    }
    form.Discovery.crateCount = 1;
    form.Discovery.selectedCrateIndex = 0;
    form.Discovery.crateTypes[0] = 10;
    form.Discovery.moduleState = 2;
    return true;
}

}  // namespace qmxbench
