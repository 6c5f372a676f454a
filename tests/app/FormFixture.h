#pragma once
// A main window built for a test: a temporary program folder, a recording dialog seam.

#include "MainForm.h"
#include "TestMainForm.h"
#include "RecordingDialogSeam.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace qmxtest {

class FormFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        qmx::MainFormOptions o;
        o.programFolder = folder.path();
        o.serverPort = 0;
        o.dialogs = &dialogs;
        form = std::make_unique<qmxtest::TestMainForm>(o);
    }
    void TearDown() override { form.reset(); }

    template <class T>
    T* child(const char* name) const
    {
        return form->findChild<T*>(QString::fromUtf8(name));
    }

    QTemporaryDir folder;
    RecordingDialogSeam dialogs;
    std::unique_ptr<qmxtest::TestMainForm> form;
};

}  // namespace qmxtest
