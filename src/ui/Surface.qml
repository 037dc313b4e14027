import QtQuick
import Qor.Ui

// A surface that is glass or an opaque fill of `solidColor` by the glass switch,
// with a 1-point border (the hairline when solid, a light edge when glass).
Rectangle {
    property color solidColor: Theme.background

    color: Theme.glass ? Theme.glassFill : solidColor
    border.width: 1
    border.color: Theme.glass ? Theme.glassEdge : Theme.hairline
}
