// The view choices of the Вид menu and tool bar: each control keeps its part
// of the view record, and every change is announced once; the drawing reads
// the record and follows the announcements.
#pragma once

#include <QObject>

#include "display/viewsettings.h"

class ViewControls : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    const structViewSettings& settings() const { return view; }

    // The controls' indexes in their step lists; an index outside a list
    // keeps the current value.
    void setLanes(bool lanes);
    void setSensitivity(int index);
    void setWindow(int index);
    void setHighPass(int index);
    void setLowPass(int index);
    void setNotch(int index);
    void setMontage(int index);

signals:
    void changed(const structViewSettings& settings);

private:
    void set(const structViewSettings& settings);

    structViewSettings view;
};
