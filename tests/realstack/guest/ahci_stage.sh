# Guest side of the libata stage: QEMU's AHCI SATA disk behind libata, sd and sg, asked by
# smartctl, the raw probe and quillmark in every way of naming it.
wait_for_disk
run smartctl-i smartctl -i -g security /dev/sda
run probe-sda sg_probe /dev/sda
run probe-sg0 sg_probe /dev/sg0
run qm-sda-i quillmark /dev/sda /i
run qm-pd0-i quillmark '\\.\PhysicalDrive0' /i
run qm-ata-i quillmark /T:/dev/sda /i
run qm-sg0-i quillmark /dev/sg0 /i
run qm-sg0-ata-i quillmark /T:/dev/sg0 /i
run qm-list quillmark --list
run qm-sda-iv quillmark /dev/sda /i /v
run qm-ata-iv quillmark /T:/dev/sda /i /v
run qm-dl quillmark /dev/sda /D:$IMG/fw.bin /s
run qm-dl-v quillmark /dev/sda /D:$IMG/fw.bin /s /v
run qm-ata-dl-v quillmark /T:/dev/sda /D:$IMG/fw.bin /s /v
run qm-missing quillmark /dev/sdq /i
run qm-missing-pd quillmark '\\.\PhysicalDrive7' /i
