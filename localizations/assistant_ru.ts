<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>MainWindow</name>
    <message>
        <source>Cannot relpy on the answer, answer creation failed</source>
        <translation>Невозможно ответить на запрос</translation>
    </message>
    <message>
        <source>Cannot reply on the answer, not in call</source>
        <translation>Невозможно ответить на сообщение без соединения</translation>
    </message>
    <message>
        <source>Cannot reply on the answer, the promise is not replied</source>
        <translation>Невозможно ответить на сообщение без ответа promise</translation>
    </message>
    <message>
        <source>Cannot reply on the answer, the promise return empty reply</source>
        <translation>Невозможно ответить на запрос</translation>
    </message>
    <message>
        <source>Cannot reply on the offer, not in call</source>
        <translation>Невозможно ответить без подключения</translation>
    </message>
    <message>
        <source>Cannot reply on the offer, the promise is not replied</source>
        <translation>Невозможно ответить на предложение без ответа от promise</translation>
    </message>
    <message>
        <source>Cannot send ICE, not in call</source>
        <translation>Невозможно отправить сообщение ICE без подключения</translation>
    </message>
    <message>
        <source>Cannot send SDP to peer, not in call</source>
        <translation>Невозможно отправить сообщение SDP без подключения</translation>
    </message>
    <message>
        <source>Cannot validate parameters</source>
        <translation>Ошибка валидации параметров подключения</translation>
    </message>
    <message>
        <source>Completed by the opposite side</source>
        <translation>Соединение закрыто противоположной стороной</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Подключиться</translation>
    </message>
    <message>
        <source>Connection with the server is closed</source>
        <translation>Соединение с сервером закрыто</translation>
    </message>
    <message>
        <source>Data channel error</source>
        <translation>Ошибка канала данных</translation>
    </message>
    <message>
        <source>The connection with the administrator is lost</source>
        <translation>Связь с администратором потеряна</translation>
    </message>
    <message>
        <source>Disconnect</source>
        <translation>Отключиться</translation>
    </message>
    <message>
        <source>Do you really want to leave?</source>
        <translation>Вы точно хотите закрыть приложение?</translation>
    </message>
    <message>
        <source>ERROR: Failed to setup the connection with the server</source>
        <translation>ОШИБКА: Невозможно установить соединение с сервером</translation>
    </message>
    <message>
        <source>ERROR: Received HELLO message in not registering state</source>
        <translation>ОШИБКА: Получено сообщение HELLO не в состоянии регистрации</translation>
    </message>
    <message>
        <source>ERROR: Received SESSION_OK in not PEER_CONNECTING state</source>
        <translation>ОШИБКА: Получено сообщение SESSION_OK не в состоянии PEER_CONNECTING</translation>
    </message>
    <message>
        <source>ERROR: could not create WebRTC session description</source>
        <translation>ОШИБКА: Невозможно создать описание WebRTC сессии</translation>
    </message>
    <message>
        <source>ERROR: could not create an SDP message</source>
        <translation>ОШИБКА: Невозможно создать SDP сообщение</translation>
    </message>
    <message>
        <source>ERROR: could not parse the text buffer into an SDP message</source>
        <translation>ОШИБКА: Невозможно разобрать полученное SDP сообщение</translation>
    </message>
    <message>
        <source>ERROR: failed to start the GStreamer pipeline</source>
        <translation>ОШИБКА: Ошибка запуска GStreamer</translation>
    </message>
    <message>
        <source>ERROR: received SDP message in not PEER_CALL_NEGOTIATING state</source>
        <translation>ОШИБКА: Получено сообщение SDP не в состоянии PEER_CALL_NEGOTIATING</translation>
    </message>
    <message>
        <source>ERROR: received SDP message without the type</source>
        <translation>ОШИБКА: Полученное сообщение SDP не имеет типа</translation>
    </message>
    <message>
        <source>ERROR: received SDP message without the type or body</source>
        <translation>ОШИБКА: Получено неверное SDP сообщение</translation>
    </message>
    <message>
        <source>ERROR: the administrator refused the video</source>
        <translation>ОШИБКА: Администратор не принял видео</translation>
    </message>
    <message>
        <source>ERROR: the administrator&apos;s answer was refused</source>
        <translation>ОШИБКА: Ответ администратора не принят</translation>
    </message>
    <message>
        <source>ERROR: the media pipeline failed</source>
        <translation>ОШИБКА: Сбой конвейера GStreamer</translation>
    </message>
    <message>
        <source>No</source>
        <translation>Нет</translation>
    </message>
    <message>
        <source>Server URL</source>
        <translation>URL сервера</translation>
    </message>
    <message>
        <source>Server not found</source>
        <translation>Сервер не найден</translation>
    </message>
    <message>
        <source>Server version error</source>
        <translation>Ошибка версии сервера</translation>
    </message>
    <message>
        <source>Session ID</source>
        <translation>Идентификатор сессии</translation>
    </message>
    <message>
        <source>Usage of wayland protocol is not supported</source>
        <translation>Подключение с протоколом wayland не поддерживается</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Да</translation>
    </message>
</context>
<context>
    <name>PermissionDialog</name>
    <message>
        <source> I agree</source>
        <translation> Да, я согласен</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Give permission</source>
        <translation>Разрешить</translation>
    </message>
    <message>
        <source>Give permission for administrator &apos;%1&apos; to share your screen?</source>
        <translation>Дать разрешение администратору &apos;%1&apos; на просмотр вашего экрана?</translation>
    </message>
    <message>
        <source>Give permission to share your screen?</source>
        <translation>Дать разрешение на просмотр вашего экрана?</translation>
    </message>
    <message>
        <source>The request comes from the server %1, which is not your organisation&apos;s configured server.</source>
        <translation>Запрос пришёл с сервера %1, который не является настроенным сервером вашей организации.</translation>
    </message>
</context>
<context>
    <name>TrayIcon</name>
    <message>
        <source>&apos;%1&apos; has connected to your desktop</source>
        <translation>К вашему рабочему столу подключен &apos;%1&apos;</translation>
    </message>
    <message>
        <source>Connection to your desktop has been established</source>
        <translation>К вашему рабочему столу выполнено подключение</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Выход</translation>
    </message>
    <message>
        <source>Hide</source>
        <translation>Скрыть</translation>
    </message>
    <message>
        <source>Show</source>
        <translation>Показать</translation>
    </message>
    <message>
        <source>Someone requested to share your desktop</source>
        <translation>К вашему рабочему столу запросили подключение</translation>
    </message>
</context>
</TS>
