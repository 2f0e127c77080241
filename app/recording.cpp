#include "app/mainwindow.h"

// Saving and opening recordings: not available yet.
void MainWindow::on_actionSave_triggered() {}

void MainWindow::on_actionOpen_triggered() {}
