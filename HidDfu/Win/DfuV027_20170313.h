#pragma once

#include "AbstractDataClass.h"

// The firmware image carried by the updater.
class DfuV027_20170313 : public AbstractDataClass {
public:
    DfuV027_20170313();
    ~DfuV027_20170313() = default;

    QString name() const override;
};
