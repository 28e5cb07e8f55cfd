import QtQuick 2.4
import QtQuick.Controls 1.3
import QtQuick.Window 2.2
import QtQuick.Dialogs 1.2

Item {
    id: root

    Loader {
        id: webviewContainer
        anchors.fill: parent
        focus: true
        source: stateManager.isMobile() ? "MobileWebView.qml" : "DesktopWebView.qml"
    }
}
