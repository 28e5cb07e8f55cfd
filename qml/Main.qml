import QtQuick 2.4
import QtQuick.Controls 1.3
import QtQuick.Window 2.2
import QtQuick.Dialogs 1.2
import QtQuick.LocalStorage 2.0

ApplicationWindow {
    id: mainWindow
    visible: true
    color: "white"
    title: settingsManager.get("visual", "ProductName", "")
    width: settingsManager.get("visual", "StageX", 1024)
    height: settingsManager.get("visual", "StageY", 768)

    StackView {
        id: pageStack
        focus: true
        initialItem: Qt.resolvedUrl("Webview.qml")
        anchors.fill: parent
    }
}
