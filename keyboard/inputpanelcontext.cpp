#include "inputpanelcontext.h"

InputPanelContext::InputPanelContext(InstallerViewManager* viewManager)
    : QObject(nullptr)
    , viewManager(viewManager)
{
}

InputPanelContext::~InputPanelContext() = default;

bool InputPanelContext::eventFilter(QObject* watched, QEvent* event)
{
    return QObject::eventFilter(watched, event);
}
