import QtWebView 1.0
import QtQuick 2.2
import QtQuick.Window 2.0
import ShellWebView 1.0

// Used only by mobile builds, which supply the ShellWebView element; the
// desktop shell never loads this document.
Item {
    id: root

    ShellWebView {
        id: webview
        anchors.fill: parent
        url: pathsManager.get("wrapperStartupPath")
        posX: root.x
        focus: true
        Keys.onReleased: {
            if (event.key === Qt.Key_Back) {
                webview.onKeyReleased(Qt.Key_Back)
                event.accepted = true
            }
        }

        Connections {
            target: Qt.application
            onAboutToQuit: webview.onExit()
            onStateChanged: webview.stateChanged(Qt.application.state)
        }
    }
}
