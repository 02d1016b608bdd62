#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// One QApplication for the whole run, as the tray application has. Without a display the
// widgets draw offscreen; ctest sets that too, this covers running the binary by hand.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
