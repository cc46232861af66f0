#include "ui/form_tables.h"

#include <algorithm>

namespace lumesk::ui {

namespace {

using P = FormPart;

constexpr FormRow kAddDialogForm[] = {
    {P::Caption, "服务名称:", "", P::Form, {4, 8, 56, 20}},
    {P::Name, "", "编辑框1", P::Form, {64, 8, 176, 20}},
    {P::Autostart, "随程序启动", "选择框1", P::Form, {248, 8, 88, 20}},
    {P::AddressGroup, "IP地址-端口 设置", "分组框1", P::Form, {8, 33, 328, 95}},
    {P::PortMapping, "端口映射", "单选框1", P::AddressGroup, {16, 16, 90, 16}},
    {P::HttpProxy, "HTTP代理", "单选框2", P::AddressGroup, {120, 16, 90, 16}},
    {P::Socks4, "Socks4代理", "单选框3", P::AddressGroup, {224, 16, 90, 16}},
    {P::Caption, "监听IP:", "", P::AddressGroup, {8, 43, 48, 16}},
    {P::ListenIp, "", "组合框1", P::AddressGroup, {56, 41, 160, 20}},
    {P::Caption, "端口:", "", P::AddressGroup, {216, 41, 48, 16}},
    {P::ListenPort, "", "编辑框2", P::AddressGroup, {265, 40, 32, 20}},
    {P::Caption, "转发IP:", "", P::AddressGroup, {8, 68, 48, 16}},
    {P::ForwardIp, "", "组合框2", P::AddressGroup, {56, 66, 160, 20}},
    {P::Caption, "端口:", "", P::AddressGroup, {216, 66, 48, 16}},
    {P::ForwardPort, "", "编辑框3", P::AddressGroup, {265, 65, 32, 20}},
    {P::LimitsGroup, "基本设置", "分组框2", P::Form, {8, 130, 328, 40}},
    {P::Caption, "承载人数:", "", P::LimitsGroup, {13, 16, 56, 16}},
    {P::Capacity, "", "编辑框4", P::LimitsGroup, {72, 15, 43, 20}},
    {P::Caption, "单IP连接数:", "", P::LimitsGroup, {165, 16, 68, 16}},
    {P::PerIpLimit, "", "编辑框5", P::LimitsGroup, {237, 15, 43, 20}},
    {P::BlacklistGroup, "IP黑名单", "分组框3", P::Form, {6, 170, 330, 96}},
    {P::Blacklist, "", "列表框1", P::BlacklistGroup, {5, 15, 224, 76}},
    {P::Caption, "IP地址", "", P::BlacklistGroup, {240, 11, 82, 16}},
    {P::BlacklistIp, "", "编辑框7", P::BlacklistGroup, {233, 32, 88, 20}},
    {P::AddButton, "添加", "按钮1", P::BlacklistGroup, {240, 61, 36, 20}},
    {P::DeleteButton, "删除", "按钮2", P::BlacklistGroup, {285, 61, 36, 20}},
    {P::ResetButton, "重置", "按钮5", P::Form, {48, 272, 72, 24}},
    {P::OkButton, "确定", "按钮3", P::Form, {128, 272, 72, 24}},
    {P::CancelButton, "取消", "按钮4", P::Form, {208, 272, 72, 24}},
};

// The editor also has a start button, tags for its handlers and its own
// names for the list and the blacklist buttons.
constexpr FormRow kEditorForm[] = {
    {P::Caption, "服务名称:", "", P::Form, {12, 8, 56, 20}},
    {P::Name, "", "编辑框1", P::Form, {72, 8, 154, 20}, 1},
    {P::Autostart, "随程序启动", "选择框1", P::Form, {232, 8, 82, 20}},
    {P::StartButton, "启动", "按钮1", P::Form, {323, 7, 40, 24}, 1},
    {P::AddressGroup, "IP地址-端口 设置", "分组框1", P::Form, {12, 33, 358, 95}},
    {P::PortMapping, "端口映射", "单选框1", P::AddressGroup, {16, 16, 90, 16}, 1},
    {P::HttpProxy, "HTTP代理", "单选框2", P::AddressGroup, {142, 16, 90, 16}, 2},
    {P::Socks4, "Socks4代理", "单选框3", P::AddressGroup, {253, 16, 82, 16}, 3},
    {P::Caption, "监听IP:", "", P::AddressGroup, {8, 43, 48, 16}},
    {P::ListenIp, "", "组合框1", P::AddressGroup, {56, 41, 189, 20}},
    {P::Caption, "端口:", "", P::AddressGroup, {256, 41, 35, 16}},
    {P::ListenPort, "", "编辑框2", P::AddressGroup, {294, 40, 32, 20}, 2},
    {P::Caption, "转发IP:", "", P::AddressGroup, {8, 68, 48, 16}},
    {P::ForwardIp, "", "组合框2", P::AddressGroup, {56, 66, 189, 20}},
    {P::Caption, "端口:", "", P::AddressGroup, {256, 66, 35, 16}},
    {P::ForwardPort, "", "编辑框3", P::AddressGroup, {294, 65, 32, 20}, 3},
    {P::LimitsGroup, "基本设置", "分组框2", P::Form, {12, 130, 358, 40}},
    {P::Caption, "承载人数:", "", P::LimitsGroup, {45, 16, 56, 16}},
    {P::Capacity, "", "编辑框4", P::LimitsGroup, {104, 15, 38, 20}, 4},
    {P::Caption, "单IP连接数:", "", P::LimitsGroup, {205, 16, 68, 16}},
    {P::PerIpLimit, "", "编辑框5", P::LimitsGroup, {277, 15, 33, 20}, 5},
    {P::BlacklistGroup, "IP黑名单", "分组框3", P::Form, {10, 170, 360, 96}},
    {P::Blacklist, "", "列表框3", P::BlacklistGroup, {5, 15, 224, 76}, 3},
    {P::Caption, "IP地址", "", P::BlacklistGroup, {264, 11, 56, 16}},
    {P::BlacklistIp, "", "编辑框7", P::BlacklistGroup, {233, 32, 119, 20}},
    {P::AddButton, "添加", "按钮2", P::BlacklistGroup, {256, 61, 36, 20}, 2},
    {P::DeleteButton, "删除", "按钮3", P::BlacklistGroup, {311, 61, 36, 20}, 3},
    {P::SaveButton, "保存", "按钮4", P::Form, {98, 271, 48, 24}, 4},
    {P::ResetButton, "重置", "按钮5", P::Form, {224, 272, 48, 24}, 5},
};

}  // namespace

std::span<const FormRow> addDialogForm() {
    return kAddDialogForm;
}

std::span<const FormRow> editorForm() {
    return kEditorForm;
}

Size formClientSize(std::span<const FormRow> rows) {
    Size size;
    for (const FormRow& row : rows) {
        int left = row.place.left, top = row.place.top;
        if (row.within != FormPart::Form) {
            const auto group = std::find_if(rows.begin(), rows.end(), [&row](const FormRow& r) {
                return r.part == row.within;
            });
            if (group != rows.end()) {
                left += group->place.left;
                top += group->place.top;
            }
        }
        size.width = std::max(size.width, left + row.place.width + kFormMargin);
        size.height = std::max(size.height, top + row.place.height + kFormMargin);
    }
    return size;
}

}  // namespace lumesk::ui
