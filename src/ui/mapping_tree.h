// The tree of mappings: a node for each mapping, its listen address below it.
#pragma once

#include <wx/treectrl.h>

#include <utility>

#include "model/mapping.h"

namespace lumesk::ui {

// The tree's pictures, by their place in images.h's treeImages().
enum TreeImage {
    kImageNone = 0,  // a free record's mode
    kImagePortMapping = 1,
    kImageHttpProxy = 2,
    kImageSocks4 = 3,
    kImageRunning = 4,  // the address node of a running mapping
    kImageStopped = 5,  // and of a stopped one
};

enum class NodeKind { Mapping, Address };

class MappingTree : public wxTreeCtrl {
  public:
    explicit MappingTree(wxWindow* parent);

    // The mapping a node belongs to (0 for none) and which of its nodes it is.
    int numberOf(const wxTreeItemId& item) const;
    NodeKind kindOf(const wxTreeItemId& item) const;
    // Mapping n's node and its address node; not IsOk() where there is none.
    std::pair<wxTreeItemId, wxTreeItemId> nodesOf(int n) const;

    void append(int n, const model::MappingRecord& r);
    // The mapping nodes' numbers, top to bottom.
    std::vector<int> order() const;
    // A saved record's name, mode and address.
    void showSaved(int n, const model::MappingRecord& r);
    void showRunState(int n, bool running);
    void select(int n, NodeKind kind);
    // The node of the same kind of the mapping after `item`'s, else of the
    // one before it; not IsOk() when `item`'s is the only one.
    wxTreeItemId neighbourOf(const wxTreeItemId& item) const;
    // The mapping node of `item`'s mapping.
    wxTreeItemId mappingNodeOf(const wxTreeItemId& item) const;
};

}  // namespace lumesk::ui
