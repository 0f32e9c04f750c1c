<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ru">
<context>
    <name>Form2</name>
    <message>
        <source>О программе...</source>
        <translation>About Tarvel</translation>
    </message>
    <message>
        <source>Версия: 1.00</source>
        <translation>Version: 1.00</translation>
    </message>
    <message>
        <source>Работа с файловой памятью телефонов Siemens поколения M50/M55.</source>
        <translation>Works with the file memory of Siemens M50/M55-generation phones.</translation>
    </message>
    <message>
        <source>Закрыть</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>LocalFiles</name>
    <message>
        <source>записанный файл не совпадает с полученным</source>
        <translation>the written file differs from the received one</translation>
    </message>
    <message>
        <source>на этом месте уже есть файл с таким именем</source>
        <translation>a file of that name is in the way</translation>
    </message>
    <message>
        <source>на диске нет места</source>
        <translation>the disk is full</translation>
    </message>
    <message>
        <source>превышена дисковая квота</source>
        <translation>the disk quota is exceeded</translation>
    </message>
    <message>
        <source>нет прав на запись в эту папку</source>
        <translation>no permission to write in this folder</translation>
    </message>
    <message>
        <source>диск доступен только для чтения</source>
        <translation>the disk is read-only</translation>
    </message>
    <message>
        <source>папка не найдена</source>
        <translation>the folder does not exist</translation>
    </message>
    <message>
        <source>на этом месте уже есть папка с таким именем</source>
        <translation>a folder of that name is in the way</translation>
    </message>
    <message>
        <source>слишком длинное имя</source>
        <translation>the name is too long</translation>
    </message>
    <message>
        <source>файл слишком большой для этого диска</source>
        <translation>the file is too large for this disk</translation>
    </message>
    <message>
        <source>ошибка ввода-вывода</source>
        <translation>input/output error</translation>
    </message>
</context>
<context>
    <name>MainWindowControls</name>
    <message>
        <source>Всего памяти:</source>
        <translation>Total memory:</translation>
    </message>
    <message>
        <source>Из них свободно:</source>
        <translation>Free memory:</translation>
    </message>
    <message>
        <source>О программе</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Настройки</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>Копировать</source>
        <translation>Copy</translation>
    </message>
    <message>
        <source>Переместить</source>
        <translation>Move</translation>
    </message>
    <message>
        <source>Новая папка</source>
        <translation>New folder</translation>
    </message>
    <message>
        <source>Удалить</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>Выход</source>
        <translation>Exit</translation>
    </message>
</context>
<context>
    <name>PcDrives</name>
    <message>
        <source>%1  (домашняя папка)</source>
        <translation>%1  (home folder)</translation>
    </message>
</context>
<context>
    <name>PhoneController</name>
    <message>
        <source>Каталоги пока не копируются, копируйте по файлам!!!</source>
        <translation>Folders cannot be copied yet. Copy the files one by one.</translation>
    </message>
    <message>
        <source>Каталоги пока не перемещаются, копируйте по файлам!!!</source>
        <translation>Folders cannot be moved yet. Copy the files one by one.</translation>
    </message>
    <message>
        <source>Каталоги пока не перемещаются, перемещайте по файлам!!!</source>
        <translation>Folders cannot be moved yet. Move the files one by one.</translation>
    </message>
    <message>
        <source>Каталоги с содержимым пока не удаляются,удалите сначала все файлы из каталога...</source>
        <translation>A folder cannot be deleted while it holds anything. Delete all the files in it first...</translation>
    </message>
    <message>
        <source>Удаление файла</source>
        <translation>Delete file</translation>
    </message>
    <message>
        <source>Вы действительно хотите удалить файл(каталог) &apos;%1&apos;?</source>
        <translation>Do you really want to delete the file (folder) &apos;%1&apos;?</translation>
    </message>
    <message>
        <source>Телефон не отдал файл &apos;%1&apos;! Файл не скопирован.</source>
        <translation>The phone did not send the file &apos;%1&apos;. The file was not copied.</translation>
    </message>
    <message>
        <source>Не удалось создать папку &apos;%1&apos;: %2.</source>
        <translation>Could not create the folder &apos;%1&apos;: %2.</translation>
    </message>
    <message>
        <source>Не удалось записать файл &apos;%1&apos;: %2.</source>
        <translation>Could not write the file &apos;%1&apos;: %2.</translation>
    </message>
    <message>
        <source>Внимание!!!</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>Сейчас можно копировать только 1 файл за одну операцию!!!</source>
        <translation>Only one file can be copied at a time.</translation>
    </message>
    <message>
        <source>Нет такого файла!!!</source>
        <translation>There is no such file.</translation>
    </message>
    <message>
        <source>Переименовывать файлы пока нельзя, воспользуйтесь телефоном...</source>
        <translation>Files cannot be renamed here yet. Rename them on the phone...</translation>
    </message>
</context>
<context>
    <name>PhoneFileList</name>
    <message>
        <source>Имя файла</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>Длина</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>Дата</source>
        <translation>Date</translation>
    </message>
    <message>
        <source>Время</source>
        <translation>Time</translation>
    </message>
</context>
<context>
    <name>PortMapWindow</name>
    <message>
        <source>COM порты</source>
        <translation>COM ports</translation>
    </message>
    <message>
        <source>Порт</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>Сейчас</source>
        <translation>Current</translation>
    </message>
    <message>
        <source>Новое устройство</source>
        <translation>New device</translation>
    </message>
    <message>
        <source>Назначить</source>
        <translation>Assign</translation>
    </message>
    <message>
        <source>Сбросить</source>
        <translation>Reset</translation>
    </message>
    <message>
        <source>Вернуть порт к устройству по умолчанию</source>
        <translation>Give the port back its default device</translation>
    </message>
    <message>
        <source>Com %1 теперь означает %2.</source>
        <translation>Com %1 now stands for %2.</translation>
    </message>
    <message>
        <source>Com %1 снова означает %2.</source>
        <translation>Com %1 stands for %2 again.</translation>
    </message>
    <message>
        <source>Обновить</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>Закрыть</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Номер порта из настроек выбирает устройство. Назначения хранятся как ссылки comN в папке %1. Изменения действуют при следующем подключении к телефону.</source>
        <translation>The port number chosen in the options picks a device. The assignments are kept as links named comN in the folder %1. Changes take effect at the next connection to the phone.</translation>
    </message>
    <message>
        <source>Нет порта Com %1.</source>
        <translation>There is no port Com %1.</translation>
    </message>
    <message>
        <source>Не выбрано устройство для Com %1.</source>
        <translation>No device is chosen for Com %1.</translation>
    </message>
    <message>
        <source>Устройство %1 не найдено.</source>
        <translation>The device %1 does not exist.</translation>
    </message>
    <message>
        <source>Не могу создать папку %1.</source>
        <translation>Cannot create the folder %1.</translation>
    </message>
    <message>
        <source>%1 не является ссылкой, оставляю как есть.</source>
        <translation>%1 is not a link; it is left as it is.</translation>
    </message>
    <message>
        <source>Не могу заменить ссылку %1.</source>
        <translation>Cannot replace the link %1.</translation>
    </message>
    <message>
        <source>Не могу создать ссылку %1 на %2.</source>
        <translation>Cannot create the link %1 to %2.</translation>
    </message>
    <message>
        <source>Не могу удалить ссылку %1.</source>
        <translation>Cannot remove the link %1.</translation>
    </message>
    <message>
        <source>%1 (устройство не подключено)</source>
        <translation>%1 (device not plugged in)</translation>
    </message>
    <message>
        <source>%1 (по умолчанию, нет такого устройства)</source>
        <translation>%1 (default, no such device)</translation>
    </message>
    <message>
        <source>%1 (по умолчанию)</source>
        <translation>%1 (default)</translation>
    </message>
</context>
<context>
    <name>Refusal</name>
    <message>
        <source>Не могу найти такого файла!!!</source>
        <translation>Cannot find that file.</translation>
    </message>
    <message>
        <source>Не могу прочитать файл!!!</source>
        <translation>Cannot read the file.</translation>
    </message>
    <message>
        <source>Файл изменился во время копирования! Скопируйте его ещё раз.</source>
        <translation>The file changed while it was copied. Copy it again.</translation>
    </message>
    <message>
        <source>Не могу записать временный файл temp.tmp! Проверьте, есть ли место на диске.</source>
        <translation>Cannot write the staging file temp.tmp. Check that there is room on the disk.</translation>
    </message>
    <message>
        <source>Не могу записать временный файл для копии! Проверьте, есть ли место на диске.</source>
        <translation>Cannot write a temporary file for the copy. Check that there is room on the disk.</translation>
    </message>
    <message>
        <source>Файл слишком большой! Телефон принимает файлы длиной меньше 16 МБ.</source>
        <translation>The file is too large. The phone takes files smaller than 16 MB.</translation>
    </message>
    <message>
        <source>Слишком длинное имя папки! Допустимо не более 122 символов.</source>
        <translation>The folder name is too long. At most 122 characters are allowed.</translation>
    </message>
    <message>
        <source>Слишком длинное имя файла! Допустимо не более 123 символов.</source>
        <translation>The file name is too long. At most 123 characters are allowed.</translation>
    </message>
    <message>
        <source>Слишком длинное имя файла! Допустимо не более 239 символов.</source>
        <translation>The file name is too long. At most 239 characters are allowed.</translation>
    </message>
    <message>
        <source>В имени есть символы, которые телефон не понимает! Переименуйте файл или папку.</source>
        <translation>The name holds characters the phone does not understand. Rename the file or folder.</translation>
    </message>
    <message>
        <source>Такое имя файла нельзя использовать на компьютере!</source>
        <translation>This file name cannot be used on the computer.</translation>
    </message>
    <message>
        <source>Старый файл удалён, а новый не записан! Скопируйте файл ещё раз.</source>
        <translation>The old file is gone and the new one did not arrive. Copy the file again.</translation>
    </message>
</context>
<context>
    <name>Startup</name>
    <message>
        <source>Не удалось загрузить компонент контрольных сумм sumlet, без него связь с телефоном невозможна. Программа будет закрыта.

%1</source>
        <translation>The checksum component sumlet could not be loaded, and without it the phone cannot be reached. The program will close.

%1</translation>
    </message>
</context>
<context>
    <name>WindowEvents</name>
    <message>
        <source>Подключаюсь к телефону... AT</source>
        <translation>Connecting to the phone... AT</translation>
    </message>
    <message>
        <source>Модель телефона?</source>
        <translation>Phone model?</translation>
    </message>
    <message>
        <source>Устанавливаем режим обмена BFB...</source>
        <translation>Switching the phone to BFB mode...</translation>
    </message>
    <message>
        <source>Настройка протокола обмена данными...</source>
        <translation>Setting up the data link...</translation>
    </message>
    <message>
        <source>Устанавливаем режим обмена OBEX...</source>
        <translation>Switching to plain OBEX...</translation>
    </message>
    <message>
        <source>Подключаюсь по OBEX протоколу...</source>
        <translation>Connecting over OBEX...</translation>
    </message>
    <message>
        <source>Связь установлена...</source>
        <translation>Connected...</translation>
    </message>
    <message>
        <source>Получаю список папок...</source>
        <translation>Reading the folder list...</translation>
    </message>
    <message>
        <source>Не могу открыть порт, установите в НАСТРОЙКАХ необходимый номер порта!!!</source>
        <translation>Cannot open the port. Choose the right port number in the Options.</translation>
    </message>
    <message>
        <source>Не могу получить ответ от телефона...</source>
        <translation>The phone does not answer...</translation>
    </message>
    <message>
        <source>Проверьте, включен ли телефон, </source>
        <translation>Check that the phone is switched on,</translation>
    </message>
    <message>
        <source>правильно ли он подключен,</source>
        <translation>that its cable is plugged in properly</translation>
    </message>
    <message>
        <source>установлен ли в настройках нужный COM порт...</source>
        <translation>and that the options name the right COM port...</translation>
    </message>
    <message>
        <source>Попробуйте еще раз...</source>
        <translation>Try again...</translation>
    </message>
    <message>
        <source>Не могу соединиться по BFB  протоколу...</source>
        <translation>Cannot set up the BFB link...</translation>
    </message>
    <message>
        <source>Не могу соединиться по OBEX протоколу...</source>
        <translation>Cannot set up the OBEX link...</translation>
    </message>
    <message>
        <source>Телефон не отвечает на этой скорости...</source>
        <translation>The phone does not answer at this speed...</translation>
    </message>
    <message>
        <source>Выключите и включите телефон...</source>
        <translation>Switch the phone off and on again...</translation>
    </message>
    <message>
        <source>Запрашиваю список файлов...</source>
        <translation>Requesting the file list...</translation>
    </message>
    <message>
        <source>Запрашиваю  файл...</source>
        <translation>Requesting the file...</translation>
    </message>
    <message>
        <source>Отправляю файл...</source>
        <translation>Sending the file...</translation>
    </message>
    <message>
        <source>Получен пакет N%1</source>
        <translation>Received packet %1</translation>
    </message>
    <message>
        <source>Всего памяти: %1Kb</source>
        <translation>Total memory: %1 KB</translation>
    </message>
    <message>
        <source>Из них свободно: %1Kb</source>
        <translation>Free memory: %1 KB</translation>
    </message>
    <message>
        <source>Копирование файла...</source>
        <translation>Copying the file...</translation>
    </message>
    <message>
        <source>Файл имеет длину больше 150кБ! Вы подтверждаете копирование файла?</source>
        <translation>The file is larger than 150 KB. Do you still want to copy it?</translation>
    </message>
    <message>
        <source>К сожалению, произошла ошибка ПРИЕМА ДАННЫХ - TIMEOUT. Программа будет закрыта!!! Выключите и включите телефон!!!</source>
        <translation>Sorry, a data receive error occurred (time-out). The program will close. Switch the phone off and on again.</translation>
    </message>
    <message>
        <source>К сожалению, произошла серьезная ошибка ПРИЕМА ДАННЫХ!!! Программа будет закрыта!!! Выключите и включите телефон!!!</source>
        <translation>Sorry, a serious data receive error occurred. The program will close. Switch the phone off and on again.</translation>
    </message>
    <message>
        <source>ОШИБКА ПРИЕМА ДАННЫХ!!!</source>
        <translation>Data receive error</translation>
    </message>
    <message>
        <source>Помехи на линии!!!</source>
        <translation>Noise on the line</translation>
    </message>
    <message>
        <source>Ответ телефона пришёл искажённым: на линии помехи. Без BFB данные не защищены контрольной суммой, и скопированные файлы могли прийти с ошибками. Проверьте их и кабель!!!</source>
        <translation>The phone&apos;s answer arrived damaged: the line is noisy. Without BFB the data carry no checksum, so files copied may have arrived with errors. Check them, and the cable.</translation>
    </message>
</context>
<context>
    <name>frmBrow</name>
    <message>
        <source>PC Browser</source>
        <translation>PC Browser</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Телефон не отдал файл &apos;%1&apos;! Файл не перемещён и остался в телефоне.</source>
        <translation>The phone did not send the file &apos;%1&apos;. The file was not moved and stays on the phone.</translation>
    </message>
    <message>
        <source>Телефон не отдал файл &apos;%1&apos;! Файл не скопирован.</source>
        <translation>The phone did not send the file &apos;%1&apos;. The file was not copied.</translation>
    </message>
    <message>
        <source>Подтверждение...</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>Файл &apos;%1&apos; уже существует. Заменить его?</source>
        <translation>The file &apos;%1&apos; already exists. Replace it?</translation>
    </message>
    <message>
        <source>Не удалось записать файл &apos;%1&apos;: %2.</source>
        <translation>Could not write the file &apos;%1&apos;: %2.</translation>
    </message>
    <message>
        <source> Файл в телефоне не удалён.</source>
        <translation> The file on the phone was not deleted.</translation>
    </message>
</context>
<context>
    <name>frmDrag</name>
    <message>
        <source>Копирование...</source>
        <translation>Copying...</translation>
    </message>
    <message>
        <source>Перетащите папку в нужную директорию...</source>
        <translation>Drag the file into a folder...</translation>
    </message>
</context>
<context>
    <name>frmMkDir</name>
    <message>
        <source>Создать папку</source>
        <translation>New folder</translation>
    </message>
    <message>
        <source>Введите название для новой папки:</source>
        <translation>Enter a name for the new folder:</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>frmOptions</name>
    <message>
        <source>Options</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>Режим</source>
        <translation>View</translation>
    </message>
    <message>
        <source>Список</source>
        <translation>List</translation>
    </message>
    <message>
        <source>Explorer</source>
        <translation>Icons</translation>
    </message>
    <message>
        <source>Доп. настройки...</source>
        <translation>More options...</translation>
    </message>
    <message>
        <source>Отменить проверку файла на каталог</source>
        <translation>Skip the folder check</translation>
    </message>
    <message>
        <source> (при операциях с файлами с нестандартными расширениями (из 2 символов...))</source>
        <translation> (for files with unusual extensions, such as two-letter ones...)</translation>
    </message>
    <message>
        <source>COM порт</source>
        <translation>COM port</translation>
    </message>
    <message>
        <source>Номер порта:</source>
        <translation>Port number:</translation>
    </message>
    <message>
        <source>Включить RTS</source>
        <translation>Raise RTS</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Соответствие COM портов устройствам</source>
        <translation>Which device each COM port stands for</translation>
    </message>
    <message>
        <source>Настройки вступят всилу только после повторного запуска программы!!!</source>
        <translation>The new settings take effect only after the program is started again.</translation>
    </message>
</context>
<context>
    <name>frmProgress</name>
    <message>
        <source>PROGRESS</source>
        <translation>PROGRESS</translation>
    </message>
    <message>
        <source>Закрыть</source>
        <translation>Close</translation>
    </message>
</context>
</TS>
