// The add dialog's and the editor's controls as tables: what each row makes,
// with its text, name and place.
#pragma once

#include <span>

namespace lumesk::ui {

// A place in pixels, on a form or in the main window.
struct Rect {
    int left = 0, top = 0, width = 0, height = 0;
};

// What a row of a form's table makes. The fields and groups are those of
// both forms; the buttons each form binds itself.
enum class FormPart {
    Form,  // only as a row's `within`: the form itself
    Caption,
    Name,
    Autostart,
    PortMapping,  // the three mode radios, in this order
    HttpProxy,
    Socks4,
    ListenIp,
    ListenPort,
    ForwardIp,
    ForwardPort,
    Capacity,
    PerIpLimit,
    Blacklist,
    BlacklistIp,
    AddressGroup,
    LimitsGroup,
    BlacklistGroup,
    StartButton,
    AddButton,
    DeleteButton,
    SaveButton,
    ResetButton,
    OkButton,
    CancelButton,
};

// How far a control within a group stays left of the group's right edge.
constexpr int kGroupMargin = 6;

// One control of a form; the rows' order is the creation and tab order.
struct FormRow {
    FormPart part;
    const char* text;  // the label; "" for fields
    const char* name;  // the window's name; "" keeps the toolkit's
    FormPart within;   // the group `place` is relative to, made by an earlier row
    Rect place;
    int tag = 0;  // the editor's handlers tell their controls apart by it
};

std::span<const FormRow> addDialogForm();
std::span<const FormRow> editorForm();

// Room a form keeps right of and below its last control.
constexpr int kFormMargin = 6;

// The client size that holds every row's place (groups' rows where their
// group is), with the form's margin.
struct Size {
    int width = 0, height = 0;
};
Size formClientSize(std::span<const FormRow> rows);

}  // namespace lumesk::ui
