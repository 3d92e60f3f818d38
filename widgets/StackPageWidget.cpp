#include "StackPageWidget.h"

StackPageWidget::StackPageWidget(QWidget* parent) : QWidget(parent) {}
