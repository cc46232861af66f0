#include "ui/mapping_tree.h"

#include <vector>

#include "model/address.h"
#include "ui/images.h"
#include "ui/wx_text.h"

namespace lumesk::ui {

namespace {

class NodeData : public wxTreeItemData {
  public:
    NodeData(int n, NodeKind kind) : n(n), kind(kind) {}
    int n;
    NodeKind kind;
};

// Every item of the tree, in its own enumeration order.
void collectItems(const wxTreeCtrl* tree, const wxTreeItemId& parent,
                  std::vector<wxTreeItemId>& out) {
    wxTreeItemIdValue cookie;
    for (wxTreeItemId child = tree->GetFirstChild(parent, cookie); child.IsOk();
         child = tree->GetNextChild(parent, cookie)) {
        out.push_back(child);
        collectItems(tree, child, out);
    }
}

TreeImage modeImage(model::Mode mode) {
    switch (mode) {
        case model::Mode::PortMapping:
            return kImagePortMapping;
        case model::Mode::HttpProxy:
            return kImageHttpProxy;
        case model::Mode::Socks4Proxy:
            return kImageSocks4;
        case model::Mode::None:
            break;
    }
    return kImageNone;
}

}  // namespace

MappingTree::MappingTree(wxWindow* parent)
    : wxTreeCtrl(parent, wxID_ANY, wxPoint(0, 24), wxSize(168, 320),
                 wxTR_HIDE_ROOT | wxTR_HAS_BUTTONS | wxTR_LINES_AT_ROOT | wxTR_SINGLE) {
    SetName(S("树型框"));
    AssignImageList(treeImages());
    AddRoot("");
    showScrollbars(this);
}

int MappingTree::numberOf(const wxTreeItemId& item) const {
    auto* data = item.IsOk() ? static_cast<NodeData*>(GetItemData(item)) : nullptr;
    return data ? data->n : 0;
}

NodeKind MappingTree::kindOf(const wxTreeItemId& item) const {
    auto* data = item.IsOk() ? static_cast<NodeData*>(GetItemData(item)) : nullptr;
    return data ? data->kind : NodeKind::Mapping;
}

std::pair<wxTreeItemId, wxTreeItemId> MappingTree::nodesOf(int n) const {
    std::vector<wxTreeItemId> items;
    collectItems(this, GetRootItem(), items);
    wxTreeItemId mappingNode, addressNode;
    for (const wxTreeItemId& item : items) {
        if (numberOf(item) != n) continue;
        (kindOf(item) == NodeKind::Mapping ? mappingNode : addressNode) = item;
        if (mappingNode.IsOk() && addressNode.IsOk()) break;
    }
    return {mappingNode, addressNode};
}

std::vector<int> MappingTree::order() const {
    std::vector<int> numbers;
    wxTreeItemIdValue cookie;
    for (wxTreeItemId item = GetFirstChild(GetRootItem(), cookie); item.IsOk();
         item = GetNextChild(GetRootItem(), cookie)) {
        numbers.push_back(numberOf(item));
    }
    return numbers;
}

void MappingTree::append(int n, const model::MappingRecord& r) {
    const TreeImage image = modeImage(r.mode);
    const wxTreeItemId node =
        AppendItem(GetRootItem(), S(r.name), image, image, new NodeData(n, NodeKind::Mapping));
    AppendItem(node, S(model::endpoint(r.listen_ip, r.listen_port)), kImageStopped, kImageStopped,
               new NodeData(n, NodeKind::Address));
    Expand(node);
}

void MappingTree::showSaved(int n, const model::MappingRecord& r) {
    const auto [mappingNode, addressNode] = nodesOf(n);
    if (mappingNode.IsOk()) {
        SetItemText(mappingNode, S(r.name));
        SetItemImage(mappingNode, modeImage(r.mode));
        SetItemImage(mappingNode, modeImage(r.mode), wxTreeItemIcon_Selected);
    }
    if (addressNode.IsOk()) {
        SetItemText(addressNode, S(model::endpoint(r.listen_ip, r.listen_port)));
    }
    // GTK's tree sizes its scroll area anew only when told its layout
    // changed; a new text alone leaves a longer node cut or a scroll bar
    // with nothing to scroll.
    SetIndent(GetIndent());
}

void MappingTree::showRunState(int n, bool running) {
    const auto [mappingNode, addressNode] = nodesOf(n);
    if (!mappingNode.IsOk() || !addressNode.IsOk()) return;
    const TreeImage image = running ? kImageRunning : kImageStopped;
    SetItemImage(addressNode, image);
    SetItemImage(addressNode, image, wxTreeItemIcon_Selected);
}

void MappingTree::select(int n, NodeKind kind) {
    const auto [mappingNode, addressNode] = nodesOf(n);
    const wxTreeItemId item = kind == NodeKind::Address ? addressNode : mappingNode;
    if (item.IsOk()) SelectItem(item);
}

wxTreeItemId MappingTree::mappingNodeOf(const wxTreeItemId& item) const {
    return kindOf(item) == NodeKind::Address ? GetItemParent(item) : item;
}

wxTreeItemId MappingTree::neighbourOf(const wxTreeItemId& item) const {
    const wxTreeItemId mappingNode = mappingNodeOf(item);
    wxTreeItemId next = GetNextSibling(mappingNode);
    if (!next.IsOk()) next = GetPrevSibling(mappingNode);
    if (next.IsOk() && kindOf(item) == NodeKind::Address) {
        wxTreeItemIdValue cookie;
        const wxTreeItemId child = GetFirstChild(next, cookie);
        if (child.IsOk()) next = child;
    }
    return next;
}

}  // namespace lumesk::ui
