import QtQuick 2.5
import QtWebEngine 1.2
import QtWebChannel 1.0
import DesktopBridge 1.0
import QtQuick.Window 2.2

Item {
    id: root
    property var showNormal: true
    anchors.fill: parent

    DesktopBridge {
        id: bridge
        WebChannel.id: "shellInterface"
    }

    WebEngineView {
        id: webview
        visible: true
        anchors.fill: parent
        url: pathsManager.get("wrapperStartupPath")
        webChannel.registeredObjects: [bridge]

        onRenderProcessTerminated: {
            Qt.quit()
        }

        onFullScreenRequested: {
            if (request.toggleOn) {
                root.showNormal = mainWindow.visibility !== Window.FullScreen
                mainWindow.showFullScreen()
            } else if (root.showNormal) {
                mainWindow.showNormal()
            }
            request.accept()
        }

        Component.onCompleted: {
            webview.settings.autoLoadImages = true
            webview.settings.playbackRequiresUserGesture = false
            // Without it the engine refuses every full-screen request of the page.
            webview.settings.fullScreenSupportEnabled = true
            mainWindow.closing.connect(function(close) {
                close.accepted = false
                bridge.onWindowClose()
            })
        }

        Connections {
            target: shellApp
            function onApplicationEvent(event) { bridge.applicationEvent(event) }
            function onApplicationStateChanged() { bridge.stateChanged(Qt.application.state) }
        }
    }
}
