// Shared pieces of the user-interface tests (which run inside the QApplication of ui_test_main.cpp): a
// machine with no devices for the controller, and a way to act on the modal dialog a call under test opens.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "tests/support/no_devices.h"

namespace uitest {

using testsupport::NoDevices;

// Runs action on the modal dialog once the call under test has opened it. If the dialog is still open
// two seconds later it is closed with 99, so a broken button never hangs the test.
inline void ActOnModal(std::function<void(QWidget&)> action) {
    QTimer::singleShot(0, [action] {
        QPointer<QDialog> modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (modal == nullptr) {
            return;
        }
        QTimer::singleShot(2000, modal, [modal] {
            if (modal->isVisible()) {
                modal->done(99);
            }
        });
        action(*modal);
    });
}

}  // namespace uitest
