#pragma once
// Windows built from a dialog template: a table of controls in dialog units,
// in the template's own order, which is also the tab order.

#include <functional>
#include <map>
#include <span>

class QWidget;

enum class ControlKind {
    Button,
    DefaultButton,
    PushLikeCheck,
    Check,
    Label,
    // A label whose text, when wider than its template width, grows to the
    // left so it still ends next to its field.
    FittedLabel,
    SunkenLabel,
    Edit,
    ReadOnlyEdit,
    Group,
    Progress,
    // Made by the dialog, which gives them their own behaviour.
    Slider,
    Spin,
};

struct ControlTemplate {
    int id;  // 0: a control nobody addresses
    ControlKind kind;
    const char* caption;
    int x, y, width, height;
};

using CreateDialogControl = std::function<QWidget*(QWidget* parent, const ControlTemplate&)>;

// Creates and places the table's controls on parent, group boxes behind the
// rest. Addressed controls go into controls as they are made, so
// createOwn (called for sliders and spin buttons) can find earlier ones.
void CreateTemplateControls(QWidget* parent, std::span<const ControlTemplate> table,
                            std::map<int, QWidget*>& controls, const CreateDialogControl& createOwn = {});
