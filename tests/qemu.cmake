# End-to-end runs of the shipped helper against real QEMU, labelled `qemu`.
