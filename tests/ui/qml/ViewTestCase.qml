import QtQuick
import QtTest

// The views' test case: a finder through the visual tree and a check that no test left a
// warning behind.
TestCase {
    id: testCase
    when: windowShown

    // Finds an object by name through children, resources and list rows.
    function find(root, name) {
        if (!root)
            return null;
        if (root.objectName === name)
            return root;
        const kids = root.data !== undefined ? root.data : (root.children !== undefined ? root.children : []);
        for (let i = 0; i < kids.length; ++i) {
            const found = find(kids[i], name);
            if (found)
                return found;
        }
        if (root.contentItem !== undefined && root.contentItem !== null && root.contentItem.parent !== root) {
            const inPopup = find(root.contentItem, name);
            if (inPopup)
                return inPopup;
        }
        return null;
    }

    function shown(item) {
        return item !== null && item.visible && item.width > 0 && item.height > 0;
    }

    function init() {
        harness.watchMessages();
    }

    function cleanup() {
        compare(harness.takeWarnings().join("\n"), "");
    }
}
