import QtQuick
import QtTest
import Sonavert.Ui

// The views' test case: views made over scenes inside the item around it (a test case itself
// is never visible), a finder through the visual tree, and a check that no test left a warning
// behind.
TestCase {
    id: testCase
    when: windowShown

    Component {
        id: contentView
        ContentView {
            width: 360
            height: 520
        }
    }

    // Makes `component` with `properties` and waits until it is drawn.
    function show(component, properties) {
        const view = createTemporaryObject(component, parent, properties);
        verify(view);
        waitForRendering(view);
        return view;
    }

    // Makes `component` over a fresh bridge in `scene`, dark or light when `dark` is given.
    function make(component, scene, dark) {
        const bridge = harness.load(scene);
        if (dark !== undefined)
            harness.setDark(dark);
        return show(component, { bridge: bridge });
    }

    // The whole window's content in `scene`.
    function content(scene, dark) {
        return make(contentView, scene, dark);
    }

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
