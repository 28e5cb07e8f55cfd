import QtQuick 2.5
import QtQuick.Window 2.2
import QtWebEngine 1.2
import QtWebChannel 1.0
import DesktopBridge 1.0
import BenchEcho 1.0

// The bench page gets the real bridge and a bare echo object on one channel.
Window {
    visible: true
    width: 800
    height: 600

    DesktopBridge {
        id: bridge
        WebChannel.id: "shellInterface"
    }

    EchoObject {
        id: echo
        WebChannel.id: "echo"
    }

    WebEngineView {
        anchors.fill: parent
        url: pathsManager.get("wrapperStartupPath")
        webChannel.registeredObjects: [bridge, echo]
    }
}
